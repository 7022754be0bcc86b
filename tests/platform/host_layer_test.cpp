// The host layer on its own: registry bytes and types, the spooler's jobs, held CUPS jobs,
// exclusive text-mode log files with Linux line ends and their copy to the journal, and Winsock
// error numbers and the listen queue over real sockets on 127.0.0.1.

#include "platform/platform.h"

#include "linux/cups/cups_delivery.h"
#include "linux/cups/hold_file.h"
#include "linux/job/job.h"
#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

static std::string Root;
static int DirectoryReads; // opendir calls, the layer's own included

// Counts each folder read, then reads it as libc does.
extern "C" DIR *opendir(const char *name) {
    static DIR *(*real)(const char *) = (DIR * (*)(const char *)) dlsym(RTLD_NEXT, "opendir");
    DirectoryReads++;
    return real(name);
}

static std::string ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

static std::vector<std::string> Files(const std::string &directory, const std::string &suffix) {
    std::vector<std::string> names;
    DIR *folder = opendir(directory.c_str());
    while (folder != nullptr) {
        struct dirent *entry = readdir(folder);
        if (entry == nullptr)
            break;
        std::string name = entry->d_name;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(directory + "/" + name);
    }
    if (folder)
        closedir(folder);
    return names;
}

TEST(HostRegistry, ValuesKeepTheirTypeAndExactBytes) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\Deep", 0, (LPSTR) "", 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const char noNul[] = {'a', 'b', 'c'};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Name", 0, REG_SZ, (const BYTE *)noNul, 3));
    DWORD number = 0x238c;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, "Num/ber", 0, REG_DWORD, (const BYTE *)&number, 4));
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\test\\DEEP", 0, KEY_ALL_ACCESS, &key));
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    DWORD type = 0, size = 2;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExA(key, "name", nullptr, &type, (LPBYTE)buffer, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ('#', buffer[0]) << "the buffer is left untouched";
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "NAME", nullptr, &type, (LPBYTE)buffer, &size));
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp(buffer, "abc#", 4)) << "no terminator is added";
    DWORD read = 0;
    size = 4;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(key, "num/ber", nullptr, &type, (LPBYTE)&read, &size));
    EXPECT_EQ(DWORD(REG_DWORD), type);
    EXPECT_EQ(0x238cu, read);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(key, "missing", nullptr, &type, (LPBYTE)buffer, &size));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nope", 0, KEY_ALL_ACCESS, &key));
}

TEST(HostSpooler, JobsAppearWholeAtCloseWithTheirDescription) {
    std::string printer = Root + "/printers/Office";
    ASSERT_EQ(0, system(("mkdir -p '" + printer + "'").c_str()));
    HANDLE handle = nullptr;
    EXPECT_FALSE(OpenPrinterA((LPSTR) "", &handle, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(OpenPrinterA((LPSTR) "Nobody", &handle, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PRINTER_NAME), GetLastError());
    ASSERT_TRUE(OpenPrinterA((LPSTR) "office", &handle, nullptr));
    DOC_INFO_1A document = {(LPSTR) "Forwarded Job", nullptr, (LPSTR) "RAW"};
    ASSERT_NE(0u, StartDocPrinterA(handle, 1, (LPBYTE)&document));
    std::string data;
    for (int i = 0; i < 256; i++)
        data += char(i);
    DWORD written = 0;
    EXPECT_TRUE(WritePrinter(handle, data.data(), (DWORD)data.size(), &written));
    EXPECT_EQ(256u, written);
    EXPECT_TRUE(Files(printer, ".prn").empty()) << "not visible while it is written";
    EXPECT_TRUE(ClosePrinter(handle));
    auto jobs = Files(printer, ".prn");
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ(data, ReadFile(jobs[0]));
    char attribute[64] = {};
    ASSERT_GT(getxattr(jobs[0].c_str(), "user.ferrolink.document", attribute, sizeof attribute), 0);
    EXPECT_STREQ("Forwarded Job", attribute);
    memset(attribute, 0, sizeof attribute);
    ASSERT_GT(getxattr(jobs[0].c_str(), "user.ferrolink.datatype", attribute, sizeof attribute), 0);
    EXPECT_STREQ("RAW", attribute);
}

TEST(HostSpooler, NamesOutsideThePrinterFoldersAreUnknown) {
    ASSERT_EQ(0, system(("mkdir -p '" + Root + "/printers/Office'").c_str()));
    for (const char *name : {".", "..", "../printers/Office", "./Office", "Office/", "Office/."}) {
        HANDLE handle = nullptr;
        EXPECT_FALSE(OpenPrinterA((LPSTR)name, &handle, nullptr)) << name;
        EXPECT_EQ(DWORD(ERROR_INVALID_PRINTER_NAME), GetLastError()) << name;
    }
}

TEST(HostSpooler, HiddenJobFilesOfEndedRelaysGoAtTheNextOpen) {
    std::string printer = Root + "/printers/Stale";
    ASSERT_EQ(0, system(("mkdir -p '" + printer + "'").c_str()));
    pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    ASSERT_EQ(ended, waitpid(ended, nullptr, 0));
    struct Row {
        std::string name;
        bool locked, kept;
    };
    const Row rows[] = {
        {".job-" + std::to_string(ended) + "-3.tmp", false, false},    // its relay has ended
        {".job-" + std::to_string(ended) + "-4.tmp", true, true},      // someone still writes it
        {".job-" + std::to_string(getppid()) + "-1.tmp", false, true}, // its relay still runs
        {".job-" + std::to_string(getpid()) + "-99.tmp", false,
         false},                                           // an earlier life of this id
        {".job-1.tmp", false, true},                       // not a job file's name
        {"job-00000000000000000001-1-1.prn", false, true}, // a finished job
    };
    std::vector<int> locks;
    for (const Row &row : rows) {
        int fd = open((printer + "/" + row.name).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_LE(0, fd);
        if (row.locked) {
            ASSERT_EQ(0, flock(fd, LOCK_EX));
        }
        locks.push_back(fd);
    }
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterA((LPSTR) "Stale", &handle, nullptr));
    EXPECT_TRUE(ClosePrinter(handle));
    for (const Row &row : rows)
        EXPECT_EQ(row.kept, access((printer + "/" + row.name).c_str(), F_OK) == 0) << row.name;
    for (int fd : locks)
        close(fd);
}

// Held jobs: whole ones go oldest first, cut ones are deleted, and a stop leaves a job held.
TEST(HostHold, HeldJobsGoOldestFirstAndAStopLeavesThemHeld) {
    pid_t child = fork(); // the stop flag stays with the child
    ASSERT_LE(0, child);
    if (child == 0) {
        setenv("CUPS_SERVER", (Root + "/no-scheduler.sock").c_str(), 1);
        HoldFile first{}, second{}, cut{}, held{};
        bool ok = HoldCreate(&first, "office", "Forwarded Job", "127.0.0.1") &&
                  HoldAppend(&first, "one", 3) && HoldSeal(&first);
        ok = ok && HoldCreate(&second, "office", "Forwarded Job", "") &&
             HoldAppend(&second, "second", 6) && HoldSeal(&second);
        ok = ok && HoldCreate(&cut, "office", "Forwarded Job", "") && HoldAppend(&cut, "cut", 3);
        HoldClose(&first);
        HoldClose(&second);
        HoldClose(&cut);
        char buffer[16] = {0};
        ok = ok && HoldOpenOldest(&held) && held.size == 3 &&
             strcmp(held.header.tag, first.header.tag) == 0 &&
             strcmp(held.header.host, "127.0.0.1") == 0 &&
             HoldRead(&held, 0, buffer, sizeof buffer) == 3 && memcmp(buffer, "one", 3) == 0;
        RequestHostStop(); // the scheduler is out of reach: the wait ends at once
        // Its file deleted under it, the job is written again from the open file before the stop.
        ok = ok && unlink(held.path) == 0;
        ok = ok && DeliverHeld(&held, nullptr, buffer, sizeof buffer) == DELIVERY_STOPPED;
        HoldFile lost = held; // a copy that is gone: never sent as an empty job
        HoldReset(&lost);
        ok = ok && DeliverHeld(&lost, nullptr, buffer, sizeof buffer) == DELIVERY_REFUSED;
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> kept = Files(Root + "/held/0", ".job");
    ASSERT_EQ(2u, kept.size());
    EXPECT_EQ("one", ReadFile(std::min(kept[0], kept[1])).substr(1024));
    EXPECT_EQ(0u, Files(Root + "/held/0", ".part").size());
}

// The start-up scan reads the folder once per batch, sends jobs in order, passes over what it
// cannot send or delete, opens another user's read-only job, and names files only made safe.
TEST(HostHold, TheScanIsOnePassAndPassesOverWhatItCannotSend) {
    pid_t child = fork();
    ASSERT_LE(0, child);
    if (child == 0) {
        std::string folder = Root + "/held/0";
        bool ok =
            system(("rm -rf '" + folder + "'").c_str()) == 0 && MakeDirectories(folder.c_str());
        for (int n = 0; ok && n < 4000; n++) // stale: their clients broke off
            ok = close(open((folder + "/00000000001." + std::to_string(n) + "-x.part").c_str(),
                            O_CREAT | O_WRONLY, 0600)) == 0;
        std::vector<std::string> expected;
        for (int n = 0; ok && n < HOLD_SCAN_BATCH + 2; n++) {
            HoldFile job{};
            std::string bytes = "job " + std::to_string(n);
            ok = HoldCreate(&job, "office", "Forwarded Job", "") &&
                 HoldAppend(&job, bytes.data(), bytes.size()) && HoldSeal(&job);
            if (n == 1) // root's copy, 0644: readable, not writable, by the relay's user
                ok = ok && fchmod(job.fd, 0644) == 0;
            else
                ok = ok && fchown(job.fd, 65534, 65534) == 0;
            HoldClose(&job);
            expected.push_back(bytes);
        }
        // Entries named like held jobs, sorting first: a folder, and junk with a line break.
        ok = ok && mkdir((folder + "/00000000000.2-folder.job").c_str(), 0755) == 0;
        std::string forged = folder + "/00000000000.1-x\nCUPS took the job for forged.job";
        ok = ok && close(open(forged.c_str(), O_CREAT | O_WRONLY, 0644)) == 0;
        ok = ok && chmod(Root.c_str(), 0755) == 0 && chmod((Root + "/held").c_str(), 0755) == 0 &&
             chown(folder.c_str(), 65534, 65534) == 0;
        int err = open((Root + "/scan-stderr.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ok = ok && err >= 0 && dup2(err, 2) == 2 && setgid(65534) == 0 && setuid(65534) == 0;
        DirectoryReads = 0;
        std::vector<std::string> sent;
        HoldFile held;
        while (ok && HoldOpenOldest(&held)) {
            char buffer[64] = {0};
            long got = HoldRead(&held, 0, buffer, sizeof buffer);
            sent.push_back(std::string(buffer, got > 0 ? (size_t)got : 0));
            ok = HoldRemove(&held);
        }
        ok = ok && sent == expected && DirectoryReads == 2; // HOLD_SCAN_BATCH, then the rest
        ok = ok && access((folder + "/00000000000.2-folder.job").c_str(), F_OK) == 0;
        ok = ok && Files(folder, ".job").size() == 1 && Files(folder, ".part").empty();
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string journal = ReadFile(Root + "/scan-stderr.txt");
    EXPECT_EQ(std::string::npos, journal.find("\nCUPS took")) << journal;
    EXPECT_NE(std::string::npos, journal.find("folder.job is not a held job")) << journal;
    EXPECT_NE(std::string::npos, journal.find("for forged.job is damaged and is deleted"))
        << journal;
}

TEST(HostRunTime, ExclusiveTextModeFiles) {
    std::string path = Root + "/log.txt";
    FILE *first = _fsopen(path.c_str(), "a+", _SH_DENYRW);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, _fsopen(path.c_str(), "a+", _SH_DENYRW)) << "held exclusively";
    fprintf(first, "%s\n", "one");
    fclose(first);
    FILE *second = _fsopen(path.c_str(), "a+", _SH_DENYRW);
    ASSERT_NE(nullptr, second);
    fprintf(second, "two\nthree\n%s\n", std::string(5000, 'x').c_str());
    fclose(second);
    EXPECT_EQ("one\ntwo\nthree\n" + std::string(5000, 'x') + "\n", ReadFile(path))
        << "Linux line ends";
    EXPECT_EQ(0, _stricmp("Install", "iNSTALL"));
    EXPECT_NE(0, _stricmp("INSTALL", "INSTALLX"));

    // A writer that lets others read: readers (locking or not) never stop it, another writer
    // does, with a sharing violation; an open that denies nothing writes beside the holder.
    int reader = open(path.c_str(), O_RDONLY);
    ASSERT_LE(0, reader);
    FILE *writer = _fsopen(path.c_str(), "a+", _SH_DENYWR);
    ASSERT_NE(nullptr, writer) << "a reader holds the file";
    _doserrno = 0;
    EXPECT_EQ(nullptr, _fsopen(path.c_str(), "a+", _SH_DENYWR)) << "another writer holds it";
    EXPECT_EQ(unsigned(ERROR_SHARING_VIOLATION), _doserrno);
    std::string held = ReadFile(path);
    EXPECT_EQ(nullptr, _fsopen(path.c_str(), "w", _SH_DENYWR)) << "nor emptied while held";
    EXPECT_EQ(held, ReadFile(path));
    FILE *beside = _fsopen(path.c_str(), "a+", _SH_DENYNO);
    ASSERT_NE(nullptr, beside);
    fclose(beside);
    fclose(writer);
    FILE *fresh = _fsopen(path.c_str(), "w", _SH_DENYWR);
    ASSERT_NE(nullptr, fresh) << "a reader does not stop a fresh start";
    fclose(fresh);
    EXPECT_EQ("", ReadFile(path));
    close(reader);
    _doserrno = 0;
    EXPECT_EQ(nullptr, _fsopen((Root + "/none/log.txt").c_str(), "a+", _SH_DENYWR));
    EXPECT_NE(unsigned(ERROR_SHARING_VIOLATION), _doserrno) << "a missing folder is not busy";
}

// Under systemd (JOURNAL_STREAM naming standard error) each text-mode line also goes there.
TEST(HostRunTime, TextModeLinesReachTheJournalUnderSystemd) {
    // Rows name standard error itself, or another file on its device, or its inode on another
    // device: only the first is the journal.
    enum Names { Unset, Empty, Fixed, StandardError, OtherInode, OtherDevice };
    struct Row {
        Names names;
        const char *fixed;
        const char *expectedOnStandardError;
    } rows[] = {
        {Unset, nullptr, ""},
        {Empty, nullptr, ""},
        {Fixed, "8:1234", ""},
        {Fixed, "garbage", ""},
        {OtherInode, nullptr, ""},
        {OtherDevice, nullptr, ""},
        {StandardError, nullptr, "Accept print job for office from 127.0.0.1\n"},
    };
    for (const Row &row : rows) {
        // The journal's copy also when the file write fails: a log folder that is gone.
        for (bool fileFails : {false, true}) {
            if (fileFails && row.names != StandardError)
                continue;
            std::string path = Root + (fileFails ? "/gone/journal.log" : "/journal.log");
            std::string captured = Root + "/stderr.txt";
            remove(path.c_str());
            FILE *capture = fopen(captured.c_str(), "w");
            ASSERT_NE(nullptr, capture);
            struct stat standardError, other;
            ASSERT_EQ(0, fstat(fileno(capture), &standardError));
            ASSERT_EQ(0, stat(Root.c_str(), &other));
            unsigned long long device = standardError.st_dev, inode = standardError.st_ino;
            if (row.names == OtherInode)
                inode = other.st_ino;
            if (row.names == OtherDevice)
                device += 1;
            std::string stream = std::to_string(device) + ":" + std::to_string(inode);
            if (row.names == Fixed)
                stream = row.fixed;
            if (row.names == Empty)
                stream = "";
            if (row.names != Unset)
                setenv("JOURNAL_STREAM", stream.c_str(), 1);
            else
                unsetenv("JOURNAL_STREAM");
            int saved = dup(2);
            dup2(fileno(capture), 2);
            FILE *log = _fsopen(path.c_str(), "a+", _SH_DENYWR);
            if (log != nullptr) {
                fprintf(log, "%s\n", "Accept print job for office from 127.0.0.1");
                fclose(log);
            }
            dup2(saved, 2);
            close(saved);
            fclose(capture);
            unsetenv("JOURNAL_STREAM");
            EXPECT_EQ(fileFails ? "" : "Accept print job for office from 127.0.0.1\n",
                      ReadFile(path));
            EXPECT_EQ(row.expectedOnStandardError, ReadFile(captured))
                << (row.names == Unset ? "(unset)" : stream) << (fileFails ? " (no file)" : "");
        }
    }
}

// The listen queue's depth as the kernel reports it (ss shows it as Send-Q of a listener).
static int ListenDepth(int port) {
    std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "'";
    FILE *output = popen(command.c_str(), "r");
    char state[32] = {};
    int queued = -1, depth = -1;
    if (output != nullptr) {
        if (fscanf(output, "%31s %d %d", state, &queued, &depth) != 3)
            depth = -1;
        pclose(output);
    }
    return depth;
}

TEST(HostRunTime, JournalLinesCarryNoLineBreaksOrReorderingFromNames) {
    const std::pair<std::string, std::string> rows[] = {
        {"Lab\nFerrolink stopped.", "Lab?Ferrolink stopped."},
        {"a\r\tb\x1b\x7f", "a??b??"},
        {"a\xc2\x85"
         "b\xc2\xa0",
         "a?b\xc2\xa0"}, // C1 control; NBSP kept
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xae"
         "c\xe2\x81\xa9"
         "d",
         "a?b?c?d"},
        {"\xe2\x80\xa7\xe2\x81\xaa\xc3\xa9", "\xe2\x80\xa7\xe2\x81\xaa\xc3\xa9"},
        {"cut\xe2", "cut\xe2"},
    };
    for (const auto &[name, shown] : rows) {
        testing::internal::CaptureStderr();
        Journal("CUPS refused the job for %s: %s.", name.c_str(), name.c_str());
        EXPECT_EQ("CUPS refused the job for " + shown + ": " + shown + ".\n",
                  testing::internal::GetCapturedStderr());
    }
}

TEST(HostSockets, WinsockErrorNumbers) {
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET first = socket(AF_INET, SOCK_STREAM, 0);
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, first);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(47311);
    address.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(0, bind(first, (struct sockaddr *)&address, sizeof address));
    ASSERT_EQ(0, listen(first, 2));
    ASSERT_EQ(0, listen(first, 2)) << "listen may be called again to re-arm";
    EXPECT_GE(ListenDepth(47311), 128) << "a queue that holds bursts, whatever the backlog";
    EXPECT_EQ(SOCKET_ERROR, bind(second, (struct sockaddr *)&address, sizeof address));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    closesocket(second);
    closesocket(first);
    EXPECT_EQ(0, WSACleanup());
}

// The client's side, in plain POSIX calls: the host layer declares the Winsock names instead.
extern "C" int connect(int fd, const void *address, unsigned int length);
extern "C" int shutdown(int fd, int how);
extern "C" int setsockopt(int fd, int level, int name, const void *value, unsigned int length);
extern "C" int getsockname(int fd, void *address, unsigned int *length);
enum { CLIENT_SHUT_WR = 1, CLIENT_SOL_SOCKET = 1, CLIENT_SO_LINGER = 13 };

static bool LingerFails; // the relay's abortive close cannot be armed

// Fails SO_LINGER while LingerFails, else sets the option as libc does.
extern "C" int setsockopt(int fd, int level, int name, const void *value, unsigned int length) {
    static auto real =
        (int (*)(int, int, int, const void *, unsigned int))dlsym(RTLD_NEXT, "setsockopt");
    if (LingerFails && level == CLIENT_SOL_SOCKET && name == CLIENT_SO_LINGER)
        return errno = ENOMEM, -1;
    return real(fd, level, name, value, length);
}

// What the client reads once the relay is done with it: "end", "reset" or "nothing yet".
static std::string ClientHears(int client) {
    struct pollfd wait = {client, POLLIN, 0};
    if (poll(&wait, 1, 2000) != 1)
        return "nothing yet";
    char byte;
    ssize_t got = read(client, &byte, 1);
    return got == 0 ? "end" : got < 0 && errno == ECONNRESET ? "reset" : "data";
}

// A client hears an orderly end only once its job is whole in the spooler, before the relay
// closes the connection; a relay that drops the connection otherwise (as its death would) resets
// it, and a client that resets gets no job.
TEST(HostSockets, ClientHearsDoneOnlyOnceItsJobIsWhole) {
    enum Ending { HalfClose, Reset };
    // NoJob: a describe-only open, no document; ArmFails: the relay cannot arm the reset.
    enum Opening { Job, NoJob, FolderSyncFails, ArmFails };
    struct Row {
        const char *name;
        Ending client;
        bool relayClosesPrinter; // false: the relay drops the connection first, as if killed (its
                                 // printer handle stays open, as a dead relay's would)
        const char *heardBeforeClose, *heardAfterClose;
        size_t jobs;
        Opening opening;
        size_t tail; // bytes after the first five, sent in pieces of odd sizes
    } rows[] = {
        {"a whole job", HalfClose, true, "end", "end", 1, Job, 0},
        {"a job in odd pieces across the read-ahead's edges", HalfClose, true, "end", "end", 1, Job,
         700001},
        {"relay gone before the job was whole", HalfClose, false, "nothing yet", "reset", 0, Job,
         0},
        {"client reset mid-job", Reset, true, "reset", "reset", 0, Job, 0},
        {"an open that begins no job", HalfClose, true, "nothing yet", "reset", 0, NoJob, 0},
        {"the folder's sync fails", HalfClose, true, "nothing yet", "reset", 0, FolderSyncFails, 0},
        {"the reset cannot be armed", HalfClose, true, "reset", "reset", 0, ArmFails, 0},
    };
    std::string printer = Root + "/printers/Sockets";
    ASSERT_EQ(0, system(("mkdir -p '" + printer + "'").c_str()));
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(0, bind(listener, (struct sockaddr *)&address, sizeof address));
    unsigned int length = sizeof address;
    ASSERT_EQ(0, getsockname((int)listener, &address, &length));
    ASSERT_EQ(0, listen(listener, 2));
    for (const Row &row : rows) {
        auto before = Files(printer, ".prn");
        std::string payload = "hello";
        for (size_t i = 0; i < row.tail; i++)
            payload += char(i * 131 + i / 977);
        int client = (int)socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(0, connect(client, &address, sizeof address)) << row.name;
        ASSERT_EQ(5, write(client, "hello", 5));
        LingerFails = row.opening == ArmFails;
        SOCKET connection = accept(listener, nullptr, nullptr);
        LingerFails = false;
        if (row.opening == ArmFails) { // closed unserved, its bytes unread: a reset
            EXPECT_EQ(INVALID_SOCKET, connection);
            EXPECT_EQ(row.heardBeforeClose, ClientHears(client));
            close(client);
            continue;
        }
        ASSERT_NE(INVALID_SOCKET, connection);
        HANDLE handle = nullptr;
        DOC_INFO_1A document = {(LPSTR) "Forwarded Job", nullptr, (LPSTR) "RAW"};
        ASSERT_TRUE(OpenPrinterA((LPSTR) "Sockets", &handle, nullptr));
        if (row.opening != NoJob) {
            ASSERT_NE(0u, StartDocPrinterA(handle, 1, (LPBYTE)&document));
        }
        JobFileCalls saved = JobFiles;
        if (row.opening == FolderSyncFails)
            JobFiles.fsync = [](int) { return errno = EIO, -1; };
        std::thread sender;
        if (row.client == HalfClose) {
            sender = std::thread([&payload, client] {
                static const size_t pieces[] = {1, 1023, 65535, 3, 131073, 4097, 65537, 7};
                for (size_t sent = 5, i = 0; sent < payload.size(); sent += pieces[i++ % 8]) {
                    size_t piece = std::min(pieces[i % 8], payload.size() - sent);
                    EXPECT_EQ(ssize_t(piece), write(client, payload.data() + sent, piece));
                    usleep(200); // each piece its own segment, mostly
                }
                shutdown(client, CLIENT_SHUT_WR);
            });
        } else {
            struct {
                int onoff, linger;
            } abort = {1, 0};
            setsockopt(client, CLIENT_SOL_SOCKET, CLIENT_SO_LINGER, &abort, sizeof abort);
        }
        char buffer[1000];
        int received;
        testing::internal::CaptureStderr();
        while ((received = recv(connection, buffer, sizeof buffer, 0)) > 0) {
            DWORD written = 0;
            if (row.opening != NoJob)
                WritePrinter(handle, buffer, (DWORD)received, &written);
            if (row.client == Reset && received > 0)
                close(client); // the reset arrives after the first bytes
        }
        std::string said = testing::internal::GetCapturedStderr();
        if (sender.joinable())
            sender.join();
        if (row.relayClosesPrinter) { // a reset makes no job, and no failure
            EXPECT_EQ(row.opening != FolderSyncFails, ClosePrinter(handle)) << row.name;
        }
        JobFiles = saved;
        if (row.client == HalfClose) {
            EXPECT_EQ(row.heardBeforeClose, ClientHears(client)) << row.name;
        }
        closesocket(connection);
        if (row.client == HalfClose) {
            EXPECT_EQ(row.heardAfterClose, ClientHears(client)) << row.name;
            close(client);
        } else {
            EXPECT_NE(std::string::npos, said.find("from 127.0.0.1 broke off")) << said;
        }
        auto after = Files(printer, ".prn");
        ASSERT_EQ(before.size() + row.jobs, after.size()) << row.name;
        for (const std::string &job : after)
            if (std::find(before.begin(), before.end(), job) == before.end()) {
                EXPECT_TRUE(payload == ReadFile(job)) << row.name;
            }
    }
    closesocket(listener);
    EXPECT_EQ(0, WSACleanup());
}

// A stop first serves the clients queued at its signal, one that sent its job and closed
// included, and ends the relay (status 0) between two jobs once none of them is left: a client
// that connects after the signal is left for the next relay.
TEST(HostSockets, AStopServesTheQueuedClientsThenEnds) {
    int served[2];
    ASSERT_EQ(0, pipe(served));
    pid_t child = fork(); // the stop ends the child
    ASSERT_LE(0, child);
    if (child == 0) {
        close(served[0]);
        WSADATA data;
        SOCKET listener = WSAStartup(MAKEWORD(2, 2), &data) == 0 ? socket(AF_INET, SOCK_STREAM, 0)
                                                                 : INVALID_SOCKET;
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(0x7F000001);
        unsigned int length = sizeof address;
        bool ok = listener != INVALID_SOCKET &&
                  bind(listener, (struct sockaddr *)&address, sizeof address) == 0 &&
                  getsockname((int)listener, &address, &length) == 0 && listen(listener, 2) == 0;
        int client = (int)socket(AF_INET, SOCK_STREAM, 0);
        ok = ok && connect(client, &address, sizeof address) == 0 && write(client, "job", 3) == 3;
        close(client);
        if (!ok || kill(getpid(), SIGTERM) != 0)
            _exit(3);
        int late = (int)socket(AF_INET, SOCK_STREAM, 0);
        if (connect(late, &address, sizeof address) != 0 || write(late, "late", 4) != 4)
            _exit(5);
        for (;;) { // each client is served; the stop ends the process between two of them
            HostBetweenJobs(listener, "", nullptr);
            SOCKET connection = accept(listener, nullptr, nullptr);
            char buffer[16];
            int got =
                connection == INVALID_SOCKET ? -1 : recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0 || write(served[1], buffer, (size_t)got) != got)
                _exit(4);
            closesocket(connection);
        }
    }
    close(served[1]);
    char buffer[16] = {0};
    ssize_t got = 0, more;
    while ((more = read(served[0], buffer + got, sizeof buffer - 1 - (size_t)got)) > 0)
        got += more;
    close(served[0]);
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ("job", std::string(buffer, got > 0 ? (size_t)got : 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

int main(int argc, char **argv) {
    char pattern[] = "/tmp/ferrolink-host-XXXXXX";
    Root = mkdtemp(pattern);
    setenv("FERROLINK_ROOT", Root.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    system(("rm -rf '" + Root + "'").c_str());
    return status;
}

TEST(HostText, AConversionNeverReadsPastItsCount) {
    // "é" is two bytes: a count of one ends inside it, whatever follows in memory.
    WCHAR wide[4] = {};
    ASSERT_EQ(1, MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", 1, wide, 4));
    EXPECT_EQ(0xFFFD, (unsigned int)wide[0]);
}
