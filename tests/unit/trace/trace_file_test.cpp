#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "trace/trace_file.h"

namespace fs = std::filesystem;

namespace {

const std::regex kCounterTime("\\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
const std::string kHeader = "Timestamp;Deltatime;Tracelevel;Deepness;ThreadID;Message";

bool StartsWithCounterTime(const std::string &line, const std::string &rest) {
    return line.size() == 12 + rest.size() && std::regex_match(line.substr(0, 12), kCounterTime) &&
           line.substr(12) == rest;
}

std::string Today() {
    plat::CalendarTime t = plat::LocalCalendarTime();
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%4d", t.day, t.month, t.year);
    return text;
}

TEST(TraceFile, FirstRunWritesCreateHeaderLinesAndClose) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    {
        TraceFile file(path.c_str(), 1, 1, 1);
        EXPECT_TRUE(file.isOpen());
        file.text(";00:00:00.000;FU;+____1;00042;PassThruConnect()", nullptr);
        TraceEvent known{0, 3, ";event text"};
        TraceEvent unknown{0, 7, nullptr};
        file.event(&known, nullptr);
        file.event(&unknown, nullptr);
    }
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(StartsWithCounterTime(lines[0], ";" + Today() + ";Create tracefile")) << lines[0];
    EXPECT_EQ(lines[1], kHeader);
    EXPECT_TRUE(StartsWithCounterTime(lines[2], ";00:00:00.000;FU;+____1;00042;PassThruConnect()")) << lines[2];
    EXPECT_TRUE(StartsWithCounterTime(lines[3], ";event text")) << lines[3];
    EXPECT_TRUE(StartsWithCounterTime(lines[4], ";Unknown Event 7")) << lines[4];
    EXPECT_TRUE(StartsWithCounterTime(lines[5], ";" + Today() + ";Close tracefile: ")) << lines[5];
}

TEST(TraceFile, SecondRunKeepsThePreviousFileAsOld) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    WriteText(dir.file("pt_vector.old"), "an older run\n");
    { TraceFile file(path.c_str(), 1, 1, 1); file.text(";first run", nullptr); }
    { TraceFile file(path.c_str(), 1, 1, 1); file.text(";second run", nullptr); }
    auto old = ReadLines(dir.file("pt_vector.old"));
    auto current = ReadLines(path);
    ASSERT_EQ(old.size(), 4u);
    EXPECT_TRUE(StartsWithCounterTime(old[2], ";first run"));
    ASSERT_EQ(current.size(), 4u);
    EXPECT_TRUE(StartsWithCounterTime(current[2], ";second run"));
}

TEST(TraceFile, FileHeldByAnotherInstanceMovesToTheNextNumber) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    WriteText(path, "held by a running instance\n");
    {
        FileHolder holder(path);
        TraceFile file(path.c_str(), 1, 1, 1);
        EXPECT_EQ(file.fileName(), dir.file("pt_vector01.log"));
        file.text(";into 01", nullptr);
    }
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"held by a running instance"});
    EXPECT_EQ(ReadLines(dir.file("pt_vector01.log")).size(), 4u);
    // The next run, with the file free again, keeps it as pt_vector.old.
    { TraceFile file(path.c_str(), 1, 1, 1); }
    EXPECT_EQ(ReadLines(dir.file("pt_vector.old")), std::vector<std::string>{"held by a running instance"});
}

TEST(TraceFile, RotationGivesUpAfterFiftyStepsAndKeepsItsName) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    std::vector<std::unique_ptr<FileHolder>> holders;
    for (int n = 0; n < 50; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, n ? "pt_vector%02d.log" : "pt_vector.log", n);
        WriteText(dir.file(name), "held\n");
        holders.push_back(std::make_unique<FileHolder>(dir.file(name)));
    }
    {
        TraceFile file(path.c_str(), 1, 1, 1);
        EXPECT_EQ(file.fileName(), path);
        file.text(";appended where the platform lets a held file be opened", nullptr);
    }
    holders.clear();
    EXPECT_FALSE(fs::exists(dir.file("pt_vector50.log")));
    EXPECT_FALSE(fs::exists(dir.file("pt_vector.old")));
    auto lines = ReadLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "held");
}

TEST(TraceFile, PduTraceHasNoHeaderAndDatedLines) {
    TempDir dir;
    std::string path = dir.file("pdu_trace.log");
    {
        TraceFile file(path.c_str(), 1, 0, 0);
        file.writePduLine(" CAN-TX 0x07e0 0x3e 0x00 ");
    }
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d CAN-TX 0x07e0 0x3e 0x00 ")))
        << lines[0];
    EXPECT_EQ(lines[0].substr(0, 10), Today());
}

// Bytes a line end takes in a file written in text mode here.
std::size_t LineEndSize() {
    TempDir dir;
    std::string probe = dir.file("probe.txt");
    std::FILE *f = std::fopen(probe.c_str(), "w");
    std::fputc('\n', f);
    std::fclose(f);
    return static_cast<std::size_t>(fs::file_size(probe));
}

TEST(TraceFile, WaitingTmpFileTakesTheTraceAtClose) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    WriteText(path + ".tmp", "kept ahead\n");
    // Three lines of date and time (19), text and line end: exactly two 4096-byte blocks.
    std::size_t text = 8192 - 3 * (19 + LineEndSize());
    {
        TraceFile file(path.c_str(), 1, 0, 0);
        file.writePduLine("");
        file.writePduLine(std::string(text / 2, 'y').c_str());
        file.writePduLine(std::string(text - text / 2, 'z').c_str());
    }
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    std::string all = ReadText(path);
    EXPECT_EQ(all.size(), 11u + 8192u);
    EXPECT_EQ(all.substr(0, 11), "kept ahead\n");
    EXPECT_EQ(all.find('y'), 11u + 19u + LineEndSize() + 19u);
}

TEST(TraceFile, ReadOnlyFileLeavesTheSinkSilent) {
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    WriteText(path, "read only\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (!plat::FileIsReadOnly(path.c_str())) GTEST_SKIP() << "running with rights that ignore file modes";
    {
        TraceFile file(path.c_str(), 1, 1, 1);
        EXPECT_FALSE(file.isOpen());
        file.text(";lost", nullptr);
        file.writePduLine(" lost");
    }
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"read only"});
    EXPECT_FALSE(fs::exists(dir.file("pt_vector.old")));
}

TEST(TraceFile, UnwritableNameIsNeitherRotatedNorWritten) {
    // Something that exists under the name but can never be written, whatever
    // the rights of the user running the test.
    TempDir dir;
    std::string path = dir.file("pt_vector.log");
    fs::create_directory(path);
    {
        TraceFile file(path.c_str(), 1, 1, 1);
        EXPECT_FALSE(file.isOpen());
        file.text(";lost", nullptr);
    }
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(fs::is_empty(path));
    EXPECT_FALSE(fs::exists(dir.file("pt_vector.old")));
}

TEST(TraceFile, UnopenableAndOverlongPathsLoseLinesQuietly) {
    TempDir dir;
    std::string missingDir = dir.file("no/such/dir/pt_vector.log");
    {
        TraceFile file(missingDir.c_str(), 1, 1, 1);
        EXPECT_FALSE(file.isOpen());
        file.text(";lost", nullptr);
    }
    std::string longPath = dir.path() + "/" + std::string(300, 'a') + "/pt_vector.log";
    {
        TraceFile file(longPath.c_str(), 1, 1, 1);
        EXPECT_EQ(file.fileName(), longPath);
        file.text(";lost", nullptr);
    }
    EXPECT_FALSE(fs::exists(missingDir));
}

}  // namespace
