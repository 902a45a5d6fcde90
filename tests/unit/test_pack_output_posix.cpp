// zuva-pack's output on POSIX: what may be replaced, what is refused and left alone.
#include "tools/pack/pack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class PackOutput : public ::testing::Test {
  protected:
    fs::path dir;
    std::string message;
    const Bytes bytes = Bytes(300, 0x5A);

    void SetUp() override {
        dir = fs::temp_directory_path() / ("zuva-pack-out-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const char* name) const { return (dir / name).string(); }
    size_t Entries() const {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
    Bytes Read(const std::string& path) const {
        FILE* f = std::fopen(path.c_str(), "rb");
        Bytes got(1000);
        got.resize(f != nullptr ? std::fread(got.data(), 1, got.size(), f) : 0);
        if (f != nullptr) {
            std::fclose(f);
        }
        return got;
    }
};

TEST_F(PackOutput, SpecialFilesAndLinksToThemAreLeftAlone) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* says;
    } cases[] = {
        {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, "is a FIFO"},
        {"null-link", [](const std::string& p) { fs::create_symlink("/dev/null", p); },
         "links to a device"},
        {"fifo-link", [](const std::string& p) { fs::create_symlink("fifo", p); },
         "links to a FIFO"},
        {"folder", [](const std::string& p) { fs::create_directory(p); }, "is a directory"},
        {"dangling", [](const std::string& p) { fs::create_symlink("no-such-file", p); },
         "link to nothing"},
    };
    for (const auto& c : cases) {
        const std::string path = Path(c.name);
        c.make(path);
        struct stat before {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0) << c.name;
        const size_t entries = Entries();

        EXPECT_EQ(PackIoError, WriteFileAtomically(path.c_str(), bytes, &message)) << c.name;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.name << ": " << message;
        struct stat after {};
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.name;
        EXPECT_EQ(before.st_ino, after.st_ino) << c.name;
        EXPECT_EQ(before.st_mode, after.st_mode) << c.name;
        EXPECT_EQ(entries, Entries()) << c.name << ": a file was left behind";
    }
    struct stat null {};
    ASSERT_EQ(stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));
}

TEST_F(PackOutput, ReplacedFilesKeepModeAndLinks) {
    for (mode_t mode : {0600, 0444, 0751}) {
        const std::string path = Path("out.exe");
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        chmod(path.c_str(), mode);
        ASSERT_EQ(PackOk, WriteFileAtomically(path.c_str(), bytes, &message)) << message;
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(mode, info.st_mode & 07777);
        EXPECT_EQ(bytes, Read(path));
    }
    // A link to a regular file stays a link; the file it names gets the bytes.
    ASSERT_EQ(symlink("out.exe", Path("link.exe").c_str()), 0);
    const Bytes other(40, 0x11);
    ASSERT_EQ(PackOk, WriteFileAtomically(Path("link.exe").c_str(), other, &message)) << message;
    EXPECT_TRUE(fs::is_symlink(Path("link.exe")));
    EXPECT_EQ(other, Read(Path("out.exe")));
    EXPECT_EQ(2u, Entries());
}

// An output that is an input, by any name, is refused before anything is read or written.
TEST_F(PackOutput, AnInputIsNeverTheOutput) {
    Bytes exe(900, 0);
    exe[0] = 'M', exe[1] = 'Z';
    ASSERT_EQ(PackOk, WriteFileAtomically(Path("ZuvaFlash.exe").c_str(), exe, &message));
    ASSERT_EQ(PackOk, WriteFileAtomically(Path("fw.bin").c_str(), bytes, &message));
    ASSERT_EQ(symlink("fw.bin", Path("fw-link.bin").c_str()), 0);
    ASSERT_EQ(link(Path("ZuvaFlash.exe").c_str(), Path("hard.exe").c_str()), 0);
    const struct {
        const char* output;
        const char* says;
    } cases[] = {
        {"fw.bin", "is the same file as --image"},
        {"fw-link.bin", "is the same file as --image"},
        {"ZuvaFlash.exe", "is the same file as --exe"},
        {"hard.exe", "is the same file as --exe"},
    };
    const size_t entries = Entries();
    for (const auto& c : cases) {
        EXPECT_EQ(PackRefused, PackUpdater(Path("ZuvaFlash.exe").c_str(), Path("fw.bin").c_str(),
                                           "x", Path(c.output).c_str(), &message))
            << c.output;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.output << ": " << message;
        EXPECT_EQ(bytes, Read(Path("fw.bin")));
        EXPECT_EQ(exe, Read(Path("hard.exe")));
        EXPECT_EQ(entries, Entries()) << c.output;
    }
    EXPECT_FALSE(SameFile(Path("fw.bin").c_str(), Path("no-such.bin").c_str()));
    EXPECT_EQ(PackOk, PackUpdater(Path("ZuvaFlash.exe").c_str(), Path("fw-link.bin").c_str(), "x",
                                  Path("Update.exe").c_str(), &message))
        << message;
    // A missing input is named with the system's reason.
    EXPECT_EQ(PackIoError, PackUpdater(Path("gone.exe").c_str(), Path("fw.bin").c_str(), "x",
                                       Path("Update2.exe").c_str(), &message));
    EXPECT_NE(message.find("gone.exe: No such file or directory"), std::string::npos) << message;
}

} // namespace
