// A job's life with its file calls counted and failed on demand: what the seal, a copy written
// again and the taken mark call, in order, and which held files a start sends, 1.2's included.
// Part of the host layer's tests, whose main gives the layer its root.

#include "linux/cups/hold_file.h"
#include "linux/job/job.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static std::vector<std::string> Calls; // each counted call; pwrite only while CountWrites
static std::string Failing;            // the call that fails; "" for none
static bool CountWrites;
static int WritesBeforeShort = -1; // pwrite calls that go through before one writes nothing

// Records the call, naming what a sync was given; true when it is to fail.
static bool Fails(const std::string &call, int fd = -1) {
    struct stat status;
    bool folder = fd >= 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
    Calls.push_back(call + (fd < 0 ? "" : folder ? " folder" : " file"));
    errno = EIO;
    return Failing == call;
}

static const JobFileCalls Counted = {
    [](int fd) { return Fails("fdatasync", fd) ? -1 : fdatasync(fd); },
    [](int fd) { return Fails("fsync", fd) ? -1 : fsync(fd); },
    [](const char *from, const char *to) { return Fails("rename") ? -1 : rename(from, to); },
    [](const char *path) { return Fails("unlink") ? -1 : unlink(path); },
    [](int fd, const void *data, size_t size, off_t offset) -> ssize_t {
        if (CountWrites)
            Calls.push_back("pwrite " + std::to_string(offset) + " " + std::to_string(size));
        if (WritesBeforeShort >= 0 && WritesBeforeShort-- == 0)
            return 0;
        return Failing == "pwrite" ? (errno = EIO, -1) : pwrite(fd, data, size, offset);
    },
};

class JobFilesCounted : public testing::Test {
  protected:
    void SetUp() override { Saved = JobFiles, JobFiles = Counted; }
    void TearDown() override { JobFiles = Saved, Failing = "", CountWrites = false; }
    JobFileCalls Saved;
};

// The seal syncs the bytes, then gives the whole name, then syncs the folder, for a job as it
// ends and for a copy written again after its folder lost it; any failure, or a copy that falls
// short, leaves the job not whole (its client untold).
TEST_F(JobFilesCounted, TheSealSyncsBytesNameAndFolderInThatOrder) {
    const std::vector<std::string> all = {"fdatasync file", "rename", "fsync folder"};
    struct Row {
        bool writtenAgain;
        const char *failing;
        int writesBeforeShort; // 1: the header, then nothing
        size_t callsMade;
        const char *suffix; // a folder sync that failed leaves the name, but no done
    } rows[] = {{false, "", -1, 3, ".job"},        {false, "fdatasync", -1, 1, ".part"},
                {false, "rename", -1, 2, ".part"}, {false, "fsync", -1, 3, ".job"},
                {true, "", -1, 3, ".job"},         {true, "fdatasync", -1, 1, ".part"},
                {true, "fsync", -1, 3, ".job"},    {true, "", 1, 0, ".job"}};
    for (const Row &row : rows) {
        HoldFile hold{};
        char buffer[4];
        ASSERT_TRUE(HoldCreate(&hold, "office", "Forwarded Job", "127.0.0.1"));
        ASSERT_TRUE(HoldAppend(&hold, "abc", 3));
        ASSERT_TRUE(!row.writtenAgain || (HoldSeal(&hold) && unlink(hold.path) == 0));
        Calls.clear();
        Failing = row.failing;
        WritesBeforeShort = row.writesBeforeShort;
        bool whole = row.failing[0] == '\0' && row.writesBeforeShort < 0;
        EXPECT_EQ(whole,
                  row.writtenAgain ? HoldWriteAgain(&hold, buffer, sizeof buffer) : HoldSeal(&hold))
            << row.failing;
        EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + row.callsMade), Calls)
            << row.failing;
        EXPECT_EQ(whole, hold.job.state >= JOB_WHOLE && HoldOnDisk(&hold)) << row.failing;
        EXPECT_EQ(row.suffix, std::string(strrchr(hold.path, '.'))) << row.failing;
        HoldHeader header;
        ASSERT_EQ((ssize_t)sizeof header, pread(hold.fd, &header, sizeof header, 0));
        EXPECT_EQ(3u, header.length) << "the length is recorded before the sync";
        Failing = "";
        HoldRemove(&hold);
    }
}

// The taken mark goes into the copy's own header through its descriptor, synced, before the
// delete; 1.2's reader, which compares the first 16 bytes with its magic, skips such a copy.
TEST_F(JobFilesCounted, ATakenCopyIsMarkedBeforeItsDelete) {
    HoldFile hold{};
    ASSERT_TRUE(HoldCreate(&hold, "office", "Forwarded Job", "") && HoldAppend(&hold, "x", 1));
    ASSERT_TRUE(HoldSeal(&hold));
    std::string path = hold.path;
    Calls.clear();
    CountWrites = true;
    Failing = "unlink";
    EXPECT_TRUE(HoldMarkTaken(&hold));
    EXPECT_FALSE(HoldRemove(&hold));
    EXPECT_EQ(std::vector<std::string>({"pwrite 0 16", "fdatasync file", "unlink"}), Calls);
    char magic[16];
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(16, pread(fd, magic, 16, 0));
    close(fd);
    EXPECT_EQ(0, memcmp(magic, "FERROLINK-TAKEN", 16)) << "1.2 reads FERROLINK-HOLD1 only";
    unlink(path.c_str());
}

// Which held files a start sends: 1.2's (no length recorded) as their size says, unless empty;
// this version's only when their bytes match their recorded length, and never one marked taken.
TEST(HoldFormat, AStartSendsOnlyWholeJobsOfEitherVersion) {
    struct Row {
        const char *magic;
        uint32_t version;
        uint64_t length;
        std::string bytes;
        bool sent;
    } rows[] = {
        {"FERROLINK-HOLD1", 0, 0, "held by 1.2", true}, {"FERROLINK-HOLD1", 0, 0, "", false},
        {"FERROLINK-HOLD1", 2, 5, "whole", true},       {"FERROLINK-HOLD1", 2, 9, "cut", false},
        {"FERROLINK-HOLD1", 2, 3, "longer", false},     {"FERROLINK-TAKEN", 2, 5, "taken", false},
    };
    pid_t child = fork(); // the scan's place stays with the child
    if (child == 0) {
        char folder[900];
        HoldFolder(folder, sizeof folder);
        bool ok = system(("rm -rf '" + std::string(folder) + "'; mkdir -p " + folder).c_str()) == 0;
        std::vector<std::string> expected, sent;
        int n = 0;
        for (const Row &row : rows) {
            HoldHeader header = {};
            memcpy(header.magic, row.magic, 16);
            strcpy(header.queue, "office");
            header.version = row.version;
            header.length = row.length;
            std::string name = folder + ("/0000000000" + std::to_string(n++)) + ".0-tag.job";
            int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0600);
            ok = ok && pwrite(fd, &header, sizeof header, 0) == (ssize_t)sizeof header &&
                 ftruncate(fd, HOLD_HEADER_SPACE) == 0 &&
                 pwrite(fd, row.bytes.data(), row.bytes.size(), HOLD_HEADER_SPACE) ==
                     (ssize_t)row.bytes.size() &&
                 close(fd) == 0;
            if (row.sent)
                expected.push_back(row.bytes);
        }
        HoldFile held{};
        while (ok && HoldOpenOldest(&held)) {
            char buffer[32] = {};
            long got = HoldRead(&held, 0, buffer, sizeof buffer);
            sent.push_back(std::string(buffer, got > 0 ? (size_t)got : 0));
            ok = HoldRemove(&held);
        }
        _exit(ok && sent == expected ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
