// zuva-pack's output on Windows: devices and folders refused, any file name written.
#include "tools/pack/pack.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

TEST(PackOutput, DevicesAndFoldersAreRefused) {
    const fs::path dir = fs::temp_directory_path() / "zuva-pack-out";
    fs::create_directories(dir);
    std::string message;
    for (std::string path : {std::string("NUL"), std::string("con.exe"), std::string("COM1"),
                             dir.string() + "\\nul.txt", dir.string()}) {
        EXPECT_EQ(PackIoError, WriteFileAtomically(path.c_str(), Bytes(10, 1), &message)) << path;
        EXPECT_NE(message.find("left as it is"), std::string::npos) << message;
    }
    fs::remove_all(dir);
}

TEST(PackOutput, NamesOutsideTheAnsiCodePage) {
    // "更新 日本.exe", written by its UTF-8 name, read back by the same name.
    const fs::path dir = fs::temp_directory_path() / "zuva-pack-names";
    fs::create_directories(dir);
    const std::string path =
        dir.string() + "\\\xE6\x9B\xB4\xE6\x96\xB0 \xE6\x97\xA5\xE6\x9C\xAC.exe";
    std::string message;
    const Bytes bytes(700, 0x42);
    for (int round = 0; round < 2; ++round) { // new, then replaced
        ASSERT_EQ(PackOk, WriteFileAtomically(path.c_str(), bytes, &message)) << message;
    }
    FILE* file = _wfopen(fs::u8path(path).c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    Bytes got(1000);
    got.resize(std::fread(got.data(), 1, got.size(), file));
    std::fclose(file);
    EXPECT_EQ(bytes, got);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    fs::remove_all(dir);
}

// The same file by another spelling, or through a hard link, is never the output.
TEST(PackOutput, AnInputIsNeverTheOutput) {
    const fs::path dir = fs::temp_directory_path() / "zuva-pack-same";
    fs::create_directories(dir);
    std::string message;
    const std::string image = (dir / "fw.bin").string();
    ASSERT_EQ(PackOk, WriteFileAtomically(image.c_str(), Bytes(300, 7), &message)) << message;
    fs::create_hard_link(dir / "fw.bin", dir / "hard.bin");
    for (std::string output : {(dir / "FW.BIN").string(), (dir / "sub" / ".." / "fw.bin").string(),
                               (dir / "hard.bin").string()}) {
        fs::create_directories(dir / "sub");
        EXPECT_TRUE(SameFile(output.c_str(), image.c_str())) << output;
        EXPECT_EQ(PackRefused,
                  CheckOutputIsNotInput(output.c_str(), "--image", image.c_str(), &message))
            << output;
        EXPECT_NE(message.find("is the same file as --image"), std::string::npos) << message;
    }
    EXPECT_FALSE(SameFile((dir / "other.bin").string().c_str(), image.c_str()));
    fs::remove_all(dir);
}

} // namespace
