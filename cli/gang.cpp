// Several devices at once: the parent's loop over its members, their live lines, the
// table or JSON lines at the end, and the member's side of the records.
#include "cli/gang.h"

#include "cli/signals.h"
#include "cli/spawn.h"
#include "ports/port_names.h"
#include "engine/status.h"
#include "ports/ports.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr double kRedrawSeconds = 0.25;

// One port's run as the parent follows it.
struct Member {
    PortOutcome outcome;
    int child = -1;
    bool done = false;
    std::string pending[2];         // a line not yet complete, per stream
    std::vector<std::string> notes; // its messages on stderr
    int kind = Progress;
    int percent = 0;
    uint64_t totalBytes = 0;
    Clock::time_point start;
    Clock::time_point firstProgress;
    bool waiting = false; // --loop: waiting for the next board
    int boards = 0;       // --loop: boards done on this port
    int firstFailed = 0;  // --loop: the status of its first failed board, 0 while none
    int portStatus = 0;   // --loop: the status its line ended with, 0 when it ended as asked
};

std::vector<Member> members;
PortOutcome common; // what every outcome starts from: the image's fields

// --loop: the whole line's figures for the summary.
struct Figures {
    bool loop = false;
    int boards = 0;
    int ok = 0;
    std::map<std::string, int> failed; // by result text
    bool serials = false;
    uint32_t firstSerial = 0;
    uint32_t lastSerial = 0;
} figures;

void BoardDone(Member& m, int status, double seconds);
void NoteNow(const Member& m, const std::string& note);

struct Live {
    bool enabled = false; // stderr is a terminal
    bool cursor = false;  // it takes cursor moves: one line per port; else one line in all
    int linesDrawn = 0;
    Clock::time_point lastDraw;
} live;

double Since(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

const char* SkipPrefix(const std::string& line) {
    const char* prefix = "zuva-flash: ";
    size_t length = std::strlen(prefix);
    return line.compare(0, length, prefix) == 0 ? line.c_str() + length : line.c_str();
}

void TakeLine(Member& m, ChildStream stream, const std::string& line) {
    if (stream == ChildStream::Err) {
        if (figures.loop) {
            NoteNow(m, line);
        } else {
            m.notes.push_back(line);
        }
        // --verbose's step lines say what was sent, not why a run ended.
        if (line.compare(0, 17, "zuva-flash: step ") != 0) {
            m.outcome.detail = SkipPrefix(line);
        }
        return;
    }
    unsigned long long a = 0;
    unsigned long long b = 0;
    unsigned kib = 0;
    int kind = 0;
    char uid[32] = "";
    double seconds = 0;
    if (std::sscanf(line.c_str(), "@progress %d %llu %llu", &kind, &a, &b) == 3) {
        if (m.percent == 0) {
            m.firstProgress = Clock::now();
        }
        m.waiting = false;
        m.kind = kind;
        m.percent = static_cast<int>(a);
        m.totalBytes = b;
    } else if (std::sscanf(line.c_str(), "@report %llx %llu %u %31s", &a, &b, &kib, uid) >= 2) {
        m.outcome.productId = static_cast<uint16_t>(a);
        m.outcome.bytes = b;
        m.outcome.flashKib = static_cast<uint16_t>(kib);
        m.outcome.uid = std::strlen(uid) == 24 ? uid : "";
    } else if (std::sscanf(line.c_str(), "@serial %llu", &a) == 1) {
        m.outcome.serialUsed = true;
        m.outcome.serial = static_cast<uint32_t>(a);
    } else if (line.compare(0, 8, "@detail ") == 0) {
        m.outcome.detail = line.substr(8);
    } else if (line == "@waiting") {
        m.waiting = true;
        m.percent = 0;
    } else if (std::sscanf(line.c_str(), "@board %d %lf", &kind, &seconds) == 2) {
        BoardDone(m, kind, seconds);
    } else if (line.compare(0, 7, "Image: ") == 0) {
        m.outcome.description = line.substr(7);
    } else if (!line.empty()) {
        m.outcome.message = line;
    }
}

void OnOutput(int child, ChildStream stream, const char* data, size_t size) {
    for (Member& m : members) {
        if (m.child != child) {
            continue;
        }
        std::string& pending = m.pending[stream == ChildStream::Out ? 0 : 1];
        pending.append(data, size);
        size_t end = 0;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            pending.erase(0, end + 1);
            TakeLine(m, stream, line);
        }
    }
}

std::string LiveText(const Member& m) {
    char tail[64];
    if (m.done) {
        std::snprintf(tail, sizeof tail, "  %.1f s", m.outcome.seconds);
        return m.outcome.message + tail;
    }
    if (m.waiting) {
        return "Waiting for the next board on " + m.outcome.port;
    }
    if (m.percent == 0) {
        return "waiting for the bootloader";
    }
    std::string line = FormatProgressLine(m.percent, m.totalBytes, Since(m.firstProgress));
    return (m.kind == Verify ? "verify " : "") + line;
}

void DrawLive(bool force) {
    if (!live.enabled || (!force && Since(live.lastDraw) < kRedrawSeconds)) {
        return;
    }
    live.lastDraw = Clock::now();
    size_t width = 0;
    for (const Member& m : members) {
        width = std::max(width, m.outcome.port.size());
    }
    std::string text;
    if (live.cursor) {
        if (live.linesDrawn > 0) {
            text += "\x1b[" + std::to_string(live.linesDrawn) + "A";
        }
        for (const Member& m : members) {
            std::string port = m.outcome.port;
            port.resize(width, ' ');
            text += "\r\x1b[2K" + port + "  " + LiveText(m) + "\n";
        }
        live.linesDrawn = static_cast<int>(members.size());
    } else {
        text = "\r";
        for (const Member& m : members) {
            text += m.outcome.port + " " +
                    (m.done ? (m.outcome.result == 0 ? "ok" : "failed")
                            : std::to_string(std::clamp(m.percent - 1, 0, 100)) + "%") +
                    "  ";
        }
        live.linesDrawn = 1;
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

void EndLive() {
    DrawLive(true);
    if (live.enabled && !live.cursor) {
        std::fputc('\n', stderr);
    }
}

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::string ChipText(uint16_t productId) {
    if (productId == 0) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "0x%03X %s", productId, DensityName(productId));
    return text;
}

void PrintTable() {
    const char* heads[] = {"PORT", "CHIP", "RESULT", "TIME"};
    std::vector<std::vector<std::string>> rows;
    for (const Member& m : members) {
        char time[32];
        std::snprintf(time, sizeof time, "%.1f s", m.outcome.seconds);
        rows.push_back({m.outcome.port, ChipText(m.outcome.productId), m.outcome.message, time});
    }
    size_t widths[4] = {};
    for (int c = 0; c < 4; ++c) {
        widths[c] = std::strlen(heads[c]);
        for (const auto& row : rows) {
            widths[c] = std::max(widths[c], row[static_cast<size_t>(c)].size());
        }
    }
    rows.insert(rows.begin(), {heads[0], heads[1], heads[2], heads[3]});
    for (const auto& row : rows) {
        std::printf("%-*s  %-*s  %-*s  %s\n", static_cast<int>(widths[0]), row[0].c_str(),
                    static_cast<int>(widths[1]), row[1].c_str(), static_cast<int>(widths[2]),
                    row[2].c_str(), row[3].c_str());
    }
}

int CollectPort(intptr_t userValue, const PortEntry* entry) {
    reinterpret_cast<std::vector<std::string>*>(userValue)->push_back(entry->portName);
    return 1;
}

// The ports to serve, each once: those given, every one found, or the only one found.
// 0, or 1 after telling why.
int ResolvePorts(const CliOptions& options, std::vector<std::string>* ports) {
    if (options.allPorts || options.ports.empty()) {
        EnumSerialPorts(CollectPort, reinterpret_cast<intptr_t>(ports));
        if (ports->empty() || (!options.allPorts && ports->size() != 1)) {
            std::fprintf(stderr, "zuva-flash: %s and %zu serial ports found\n",
                         options.allPorts ? "--all-ports" : "no --port given", ports->size());
            return 1;
        }
        return 0;
    }
    for (const char* port : options.ports) {
        for (const std::string& earlier : *ports) {
            if (PortPathForName(earlier.c_str()) == PortPathForName(port)) {
                std::fprintf(stderr, "zuva-flash: %s is given twice\n", port);
                return 1;
            }
        }
        ports->push_back(port);
    }
    return 0;
}

struct Output {
    FILE* log = nullptr;
    const char* logName = nullptr;
    std::string logError; // why the log lost a result; "" while it took every one
    bool json = false;
    bool quiet = false;
    size_t nextJson = 0; // JSON lines go out in the order given, each once it is known
    bool lost = false;
    std::string lostWhy = "it was closed"; // or the failed write's reason
    bool stoppedRuns = false;              // runs were stopped because of it
} output;

// The system's reason for a failed write, or a plain one when it gave none.
std::string WriteError() {
    return errno != 0 ? std::strerror(errno) : "write error";
}

void WriteLog(const PortOutcome& outcome) {
    if (output.log == nullptr) {
        return;
    }
    std::string text = OutcomeJson(outcome, UtcNow().c_str()) + "\n";
    errno = 0;
    if ((std::fputs(text.c_str(), output.log) < 0 || std::fflush(output.log) != 0) &&
        output.logError.empty()) {
        output.logError = WriteError();
    }
}

void WriteStdout(const std::string& text) {
    output.lost = std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 || output.lost;
}

// The live lines taken off the terminal, so that a line can go above them.
void ClearLive() {
    if (live.enabled && live.linesDrawn > 0) {
        if (live.cursor) {
            std::fprintf(stderr, "\x1b[%dA\r\x1b[J", live.linesDrawn);
        } else {
            std::fputc('\n', stderr);
        }
        live.linesDrawn = 0;
    }
}

// --loop: a message of a member, told at once.
void NoteNow(const Member& m, const std::string& note) {
    if (!output.quiet) {
        ClearLive();
        std::fprintf(stderr, "zuva-flash: %s: %s\n", m.outcome.port.c_str(), SkipPrefix(note));
        DrawLive(true);
    }
}

// "COM51 board 2: Finished OK, serial 1001, unique ID 3034..., 128 KiB, 3.2 s"
std::string BoardLine(const PortOutcome& o) {
    std::string text =
        o.port + (o.board > 0 ? " board " + std::to_string(o.board) : "") + ": " + o.message;
    if (o.serialUsed) {
        text += ", serial " + std::to_string(o.serial);
    }
    if (!o.uid.empty()) {
        text += ", unique ID " + o.uid;
    }
    if (o.flashKib > 0) {
        text += ", " + std::to_string(o.flashKib) + " KiB";
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ", %.1f s", o.seconds);
    return text + seconds;
}

// --loop: one outcome (a board, or a port's end), out as it comes: a line or an object
// on stdout, and in the log. With -q only failures, and their cause on stderr.
void EmitNow(const PortOutcome& o) {
    ClearLive();
    WriteLog(o);
    if (output.json) {
        WriteStdout(OutcomeJson(o, nullptr) + "\n");
    } else if (!output.quiet || o.result != 0) {
        WriteStdout(BoardLine(o) + "\n");
    }
    if (output.quiet && o.result != 0 && !o.detail.empty()) {
        std::fprintf(stderr, "zuva-flash: %s: %s\n", o.port.c_str(), o.detail.c_str());
    }
    DrawLive(true);
}

void BoardDone(Member& m, int status, double seconds) {
    PortOutcome& o = m.outcome;
    o.result = status;
    o.seconds = seconds;
    o.board = ++m.boards;
    o.message = o.message.empty() ? "No result" : o.message;
    ++figures.boards;
    if (status == 0) {
        ++figures.ok;
    } else {
        ++figures.failed[o.message];
        m.firstFailed = m.firstFailed != 0 ? m.firstFailed : status;
    }
    if (o.serialUsed) {
        // Ports finish in any order: the first and last numbers given, not seen.
        figures.firstSerial = figures.serials ? std::min(figures.firstSerial, o.serial) : o.serial;
        figures.lastSerial = figures.serials ? std::max(figures.lastSerial, o.serial) : o.serial;
        figures.serials = true;
    }
    EmitNow(o);
    const std::string port = o.port;
    o = common;
    o.port = port;
    m.waiting = true;
    m.percent = 0;
    m.kind = Progress;
}

void Finished(Member& m, int status) {
    if (figures.loop) {
        // Its boards are out; a status of its own tells why its line ended early.
        m.done = true;
        m.waiting = false;
        m.portStatus = status;
        if (status != 0) {
            m.outcome.result = status;
            m.outcome.seconds = Since(m.start);
            m.outcome.message = m.outcome.message.empty() ? "No result" : m.outcome.message;
            EmitNow(m.outcome);
        }
        return;
    }
    m.done = true;
    m.outcome.result = status;
    m.outcome.seconds = Since(m.start);
    // A read's file, once it is there.
    if (status == 0 && m.outcome.imageSize < 0 && !m.outcome.image.empty() &&
        !FileSizeAndCrc32(m.outcome.image.c_str(), &m.outcome.imageSize, &m.outcome.imageCrc32)) {
        m.outcome.imageSize = -1;
    }
    if (m.outcome.message.empty()) {
        m.outcome.message = status == kExitCantStart ? "Not started"
                            : status > 128 && status < 160
                                ? "Ended by signal " + std::to_string(status - 128)
                                : "No result";
    }
    WriteLog(m.outcome);
    while (output.json && output.nextJson < members.size() && members[output.nextJson].done) {
        std::string line = OutcomeJson(members[output.nextJson++].outcome, nullptr) + "\n";
        errno = 0;
        if ((std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0) && !output.lost) {
            output.lost = true;
            output.lostWhy = WriteError();
        }
    }
}

void StartMembers(const std::vector<std::string>& ports, int argc, char** argv) {
    for (const std::string& port : ports) {
        Member m;
        m.outcome = common;
        m.outcome.port = port;
        m.outcome.board = figures.loop ? 0 : 1;
        m.start = Clock::now();
        std::string error;
        m.child = SpawnSelf(MemberArguments(argc, argv, port), &error);
        members.push_back(m);
        if (m.child < 0) {
            members.back().outcome.detail = "cannot start a process: " + error;
            members.back().notes.push_back("zuva-flash: " + members.back().outcome.detail);
            Finished(members.back(), kExitCantStart);
        }
    }
}

// Until every member has ended; Ctrl-C, or stdout gone, stops them all.
void FollowMembers() {
    bool stopped = false;
    for (;;) {
        PollChildren(kPollMs, OnOutput);
        bool all = true;
        for (Member& m : members) {
            int status = 0;
            if (!m.done && ChildDone(m.child, &status)) {
                Finished(m, status);
            }
            all = all && m.done;
        }
        if (all) {
            return;
        }
        output.lost = output.lost || StdoutGone();
        if (!stopped && (InterruptRequested() || output.lost)) {
            StopChildren();
            stopped = true;
            output.stoppedRuns = output.lost;
        }
        DrawLive(false);
    }
}

// The member whose status is the gang's: the first in the order given that failed, or
// nullptr when every device finished OK.
const Member* FirstFailed() {
    for (const Member& m : members) {
        if (m.outcome.result != 0) {
            return &m;
        }
    }
    return nullptr;
}

int GangStatus() {
    const Member* failed = FirstFailed();
    if (failed == nullptr) {
        return 0;
    }
    return InterruptRequested() ? kExitInterrupted : failed->outcome.result;
}

// Without --json: the table when there are several ports, then, as the last line as in
// every run, the result line that goes with the status.
void PrintResults() {
    if (members.size() > 1 && !output.quiet) {
        PrintTable();
    }
    const Member* failed = FirstFailed();
    std::printf("%s\n", failed != nullptr ? failed->outcome.message.c_str()
                        : members.empty() ? "No result"
                                          : members.front().outcome.message.c_str());
}

// --loop: the status of the first port, in the order given, whose line did not go well:
// its first failed board's, else the cause its line ended with.
int LoopStatus() {
    for (const Member& m : members) {
        if (m.firstFailed != 0 || m.portStatus != 0) {
            return m.firstFailed != 0 ? m.firstFailed : m.portStatus;
        }
    }
    return 0;
}

// --loop: "3 boards on COM51, COM52: 2 finished OK, 1 failed (Verify failed: 1); serial
// numbers 1000 to 1002", or with --json the object of the same figures.
void PrintSummary() {
    std::string ports;
    std::string portsJson;
    for (const Member& m : members) {
        ports += (ports.empty() ? "" : ", ") + m.outcome.port;
        portsJson += (portsJson.empty() ? "" : ",") + JsonString(m.outcome.port);
    }
    const int failed = figures.boards - figures.ok;
    std::string causes;
    std::string causesJson;
    for (const auto& [message, count] : figures.failed) {
        causes += (causes.empty() ? "" : ", ") + message + ": " + std::to_string(count);
        causesJson +=
            (causesJson.empty() ? "" : ",") + JsonString(message) + ":" + std::to_string(count);
    }
    const std::string first = std::to_string(figures.firstSerial);
    const std::string last = std::to_string(figures.lastSerial);
    if (output.json) {
        WriteStdout("{\"boards\":" + std::to_string(figures.boards) + ",\"ok\":" +
                    std::to_string(figures.ok) + ",\"failed\":{" + causesJson + "},\"serials\":" +
                    (figures.serials ? "{\"first\":" + first + ",\"last\":" + last + "}" : "null") +
                    ",\"ports\":[" + portsJson + "]}\n");
        return;
    }
    std::string text = std::to_string(figures.boards) +
                       (figures.boards == 1 ? " board" : " boards") + " on " + ports + ": " +
                       std::to_string(figures.ok) + " finished OK, " + std::to_string(failed) +
                       " failed";
    text += causes.empty() ? "" : " (" + causes + ")";
    text += figures.serials ? "; serial numbers " + first + " to " + last : "";
    WriteStdout(text + "\n");
}

// The log closed; 0, or kExitOutputLost after telling which results it lost.
int CloseLog() {
    if (output.log == nullptr) {
        return 0;
    }
    errno = 0;
    if (std::fclose(output.log) != 0 && output.logError.empty()) {
        output.logError = WriteError();
    }
    if (output.logError.empty()) {
        return 0;
    }
    std::fprintf(stderr,
                 "zuva-flash: cannot write to the log %s: %s; the results of this call are "
                 "not recorded there\n",
                 output.logName, output.logError.c_str());
    return kExitOutputLost;
}

} // namespace

bool IsGangRun(const CliOptions& options) {
    return options.ports.size() > 1 || options.allPorts || options.json || options.log != nullptr ||
           options.loop;
}

std::vector<std::string> MemberArguments(int argc, char** argv, const std::string& port) {
    std::vector<std::string> arguments{"--member", "--port", port};
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        optionsEnded = optionsEnded || arg == "--";
        // The parent alone prints what -q leaves out; a member still tells it all.
        if (!optionsEnded &&
            (arg == "--all-ports" || arg == "--json" || arg == "-q" || arg == "--quiet" ||
             arg.rfind("--port=", 0) == 0 || arg.rfind("--log=", 0) == 0)) {
            continue;
        }
        if (!optionsEnded && (arg == "--port" || arg == "--log")) {
            ++i; // and its value
            continue;
        }
        arguments.push_back(arg);
    }
    return arguments;
}

int RunGang(const CliOptions& options, int argc, char** argv) {
    std::vector<std::string> ports;
    if (ResolvePorts(options, &ports) != 0) {
        return kExitUsage;
    }
    if (options.log != nullptr) {
        std::string error;
        output.log = OpenForAppend(options.log, &error);
        output.logName = options.log;
        if (output.log == nullptr) {
            std::fprintf(stderr, "zuva-flash: cannot open the log %s: %s\n", options.log,
                         error.c_str());
            return kExitOutputLost;
        }
    }
    figures.loop = options.loop;
    // A read's file is described once it is written; --erase has none.
    const char* file = options.embedded != nullptr ? options.embedded
                       : options.image != nullptr  ? options.image
                                                   : options.read;
    common.image = file != nullptr ? file : "";
    if (options.read != nullptr ||
        !FileSizeAndCrc32(common.image.c_str(), &common.imageSize, &common.imageCrc32)) {
        common.imageSize = -1;
    }
    output.json = options.json;
    output.quiet = options.quiet;
    live.enabled = StderrIsTerminal() && !options.quiet;
    live.cursor = live.enabled && LiveLinesSupported();
    StartMembers(ports, argc, argv);
    FollowMembers();
    EndLive();
    if (figures.loop) {
        const int logStatus = CloseLog();
        PrintSummary();
        if (output.lost) {
            std::fprintf(stderr, "zuva-flash: stdout cannot take the results; the line was "
                                 "stopped\n");
            return kExitOutputLost;
        }
        const int status = LoopStatus();
        return status == 0 ? logStatus : status;
    }
    for (const Member& m : members) {
        for (const std::string& note : m.notes) {
            if (!output.quiet || m.outcome.result != 0) {
                std::fprintf(stderr, "zuva-flash: %s: %s\n", m.outcome.port.c_str(),
                             SkipPrefix(note));
            }
        }
    }
    const int logStatus = CloseLog();
    if (!options.json) {
        PrintResults();
    }
    if (output.lost) {
        // Runs that had ended keep their result: stderr is then the only place that tells it.
        std::fprintf(stderr, "zuva-flash: stdout cannot take the results (%s)%s\n",
                     output.lostWhy.c_str(),
                     output.stoppedRuns ? "; the runs still going were stopped" : "");
        for (const Member& m : members) {
            std::fprintf(stderr, "zuva-flash: %s: %s%s\n", m.outcome.port.c_str(),
                         m.outcome.message.c_str(),
                         m.outcome.result == 0 && options.run.protect ? " (protected)" : "");
        }
        return kExitOutputLost;
    }
    const int status = GangStatus();
    return status == 0 ? logStatus : status;
}

namespace {
int lastPercent = -1;
int lastKind = -1;
} // namespace

bool MemberProgress(int kind, int percent) {
    if (percent == lastPercent && kind == lastKind) {
        return true;
    }
    lastPercent = percent;
    lastKind = kind;
    const uint64_t total = ReadTotalBytes() != 0 ? ReadTotalBytes() : GetPlanSummary().totalBytes;
    std::printf("@progress %d %d %llu\n", kind, percent, static_cast<unsigned long long>(total));
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

void MemberReport(ResultCode result, const RunReport& report) {
    uint64_t bytes = report.imageBytes;
    if (result != kResultOk) {
        int shown = lastKind == Progress ? std::clamp(lastPercent - 1, 0, 100) : 100;
        bytes = lastPercent < 0 ? 0 : report.imageBytes * static_cast<uint64_t>(shown) / 100;
    }
    std::printf("@report %x %llu %u %s\n", report.productId, static_cast<unsigned long long>(bytes),
                static_cast<unsigned>(report.flashKib),
                report.uidRead ? UidText(report).c_str() : "-");
    lastPercent = -1; // the next board's records start afresh
    lastKind = -1;
}
