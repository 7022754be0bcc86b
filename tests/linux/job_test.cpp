// A job's life with its file calls counted and failed on demand: what the seal, a copy written
// again and the taken mark call, in order, what each does when a call fails or falls short, and
// which held files a start sends, those of 1.2 included. Part of the host layer's tests, whose
// main gives the layer its root.

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

static std::vector<std::string> Calls; // each counted call, "pwrite" ones only when asked
static std::string Failing;            // the call that fails; "" for none
static bool CountWrites;
static int WritesBeforeShort = -1; // pwrite calls that go through before one writes nothing

// Names what a descriptor is, so that a sync of the wrong one shows.
static std::string Kind(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) ? " folder" : " file";
}

// Records the call; true when it is to fail.
static bool Fails(const std::string &call) {
    Calls.push_back(call);
    errno = EIO;
    return Failing == call.substr(0, call.find(' '));
}

static const JobFileCalls Counted = {
    [](int fd) { return Fails("fdatasync" + Kind(fd)) ? -1 : fdatasync(fd); },
    [](int fd) { return Fails("fsync" + Kind(fd)) ? -1 : fsync(fd); },
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
    void SetUp() override {
        Saved = JobFiles;
        JobFiles = Counted;
        Calls.clear();
        Failing = "";
        CountWrites = false;
        WritesBeforeShort = -1;
    }
    void TearDown() override { JobFiles = Saved; }
    JobFileCalls Saved;
};

// A job held with bytes, its calls so far forgotten.
static void Arrived(HoldFile *hold, const std::string &bytes) {
    *hold = HoldFile{};
    ASSERT_TRUE(HoldCreate(hold, "office", "Forwarded Job", "127.0.0.1"));
    ASSERT_TRUE(HoldAppend(hold, bytes.data(), bytes.size()));
    Calls.clear();
}

static std::string Suffix(const HoldFile &hold) {
    return std::string(hold.path).substr(std::string(hold.path).rfind('.'));
}

// The seal syncs the bytes, then gives the whole name, then syncs the folder; any failure leaves
// the job unsealed, and so its client untold.
TEST_F(JobFilesCounted, TheSealSyncsBytesNameAndFolderInThatOrder) {
    const std::vector<std::string> all = {"fdatasync file", "rename", "fsync folder"};
    struct Row {
        const char *failing;
        bool sealed;
        size_t callsMade;
        const char *suffix; // a folder sync that failed leaves the name, but no done
    } rows[] = {{"", true, 3, ".job"},
                {"fdatasync", false, 1, ".part"},
                {"rename", false, 2, ".part"},
                {"fsync", false, 3, ".job"}};
    for (const Row &row : rows) {
        HoldFile hold;
        Arrived(&hold, "abc");
        Failing = row.failing;
        EXPECT_EQ(row.sealed, HoldSeal(&hold)) << row.failing;
        EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + row.callsMade), Calls)
            << row.failing;
        EXPECT_EQ(row.sealed, hold.job.state >= JOB_WHOLE) << row.failing;
        EXPECT_EQ(row.suffix, Suffix(hold)) << row.failing;
        HoldHeader header;
        ASSERT_EQ((ssize_t)sizeof header, pread(hold.fd, &header, sizeof header, 0));
        EXPECT_EQ(3u, header.length) << "the length is recorded before the sync";
        Failing = "";
        HoldRemove(&hold);
    }
}

// A copy written again while its job waits is sealed like the first (its client is told by that
// seal); a copy that falls short or fails to sync is not whole.
TEST_F(JobFilesCounted, ACopyWrittenAgainIsSealedOrNotWhole) {
    const std::vector<std::string> all = {"fdatasync file", "rename", "fsync folder"};
    struct Row {
        const char *failing;
        int writesBeforeShort; // 1: the header, then nothing
        bool whole;
        size_t callsMade;
        const char *suffix;
    } rows[] = {{"", -1, true, 3, ".job"},
                {"fdatasync", -1, false, 1, ".part"},
                {"fsync", -1, false, 3, ".job"},
                {"", 1, false, 0, ".job"}}; // short: the old copy is still the one read
    for (const Row &row : rows) {
        HoldFile hold;
        char buffer[4];
        Arrived(&hold, "written again");
        ASSERT_TRUE(HoldSeal(&hold));
        ASSERT_EQ(0, unlink(hold.path)); // its folder lost it
        Calls.clear();
        Failing = row.failing;
        WritesBeforeShort = row.writesBeforeShort;
        EXPECT_EQ(row.whole, HoldWriteAgain(&hold, buffer, sizeof buffer)) << row.failing;
        EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + row.callsMade), Calls)
            << row.failing;
        EXPECT_EQ(row.suffix, Suffix(hold)) << row.failing;
        EXPECT_EQ(row.whole, hold.job.state >= JOB_WHOLE && HoldOnDisk(&hold)) << row.failing;
        Failing = "";
        HoldRemove(&hold);
    }
}

// The taken mark goes into the copy's own header, synced, before the delete: a copy that cannot
// be deleted is not sent at the next start, by this version or by 1.2, whose reader compares the
// first 16 bytes with its magic.
TEST_F(JobFilesCounted, ATakenCopyThatCannotBeDeletedIsNeverSentAgain) {
    HoldFile hold;
    Arrived(&hold, "printed once");
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
    EXPECT_NE(0, memcmp(magic, "FERROLINK-HOLD1", 16)) << "1.2 reads it as damaged";
    Failing = "";
    pid_t child = fork(); // the scan's place stays with the child
    if (child == 0) {
        HoldFile held{};
        bool sent = HoldOpenOldest(&held);
        _exit(!sent && access(path.c_str(), F_OK) != 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "sent again, or kept";
    HoldFile failed;
    Arrived(&failed, "mark fails");
    Failing = "pwrite";
    EXPECT_FALSE(HoldMarkTaken(&failed));
    EXPECT_NE(JOB_TAKEN, failed.job.state);
    Failing = "";
    HoldRemove(&failed);
}

// Which held files a start sends: 1.2's (no length recorded) as their size says, unless empty;
// this version's only when their bytes match their recorded length.
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
        {"FERROLINK-HOLD1", 2, 3, "longer", false},     {"FERROLINK-HOLD1", 2, 0, "", false},
        {"FERROLINK-TAKEN", 2, 5, "taken", false},
    };
    pid_t child = fork();
    if (child == 0) {
        char folder[900];
        HoldFolder(folder, sizeof folder);
        bool ok =
            system(("rm -rf '" + std::string(folder) + "'; mkdir -p '" + folder + "'").c_str()) ==
            0;
        std::vector<std::string> expected, sent;
        int n = 0;
        for (const Row &row : rows) {
            HoldHeader header = {};
            memcpy(header.magic, row.magic, 16);
            strcpy(header.queue, "office");
            strcpy(header.tag, "tag");
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
