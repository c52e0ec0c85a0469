// What a trace path may name on POSIX: the default file in a shared
// directory where another user may have planted a link or a file first,
// and paths that name a FIFO, a socket, a directory or a device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "entries/held_file.h"
#include "entries/lost_records.h"
#include "entries/posix_entries.h"
#include "platform/os.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

constexpr uid_t kNobody = 65534;
constexpr char kNeedsRoot[] =
    "planting another user's file needs root, to become uid nobody";

// Runs fn(arg) in a child that has become uid nobody; true when fn
// returned true there.
bool AsNobody(bool (*fn)(const std::string &), const std::string &arg) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    _exit(fn(arg) ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PlantLink(const std::string &arg) {
  size_t bar = arg.find('|');
  return symlink(arg.substr(0, bar).c_str(), arg.substr(bar + 1).c_str()) == 0;
}

bool PlantFile(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return false;
  fchmod(fd, 0666);
  return close(fd) == 0;
}

off_t SizeOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class TraceTargets : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    // A directory like /tmp: everybody may add entries, each may remove
    // only their own.
    char tmpl[] = "/tmp/nqsticky-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    shared_ = tmpl;
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
    Fakes::temp_dir = shared_;
    spool_ = shared_ + "/NQSPOOL.LOG";
  }

  void TearDown() override {
    TraceTest::TearDown();
    RemoveTree(shared_);
  }

  // A file of the test's own with known contents, as an attacker's target.
  std::string Victim() {
    std::string victim = Path("victim.txt");
    FILE *f = fopen(victim.c_str(), "wb");
    fputs("secret\n", f);
    fclose(f);
    return victim;
  }

  std::string shared_;
  std::string spool_;
};

TEST_F(TraceTargets, DefaultFileIsNotFollowedThroughAPlantedLink) {
  if (geteuid() != 0) GTEST_SKIP() << kNeedsRoot;
  std::string victim = Victim();
  ASSERT_TRUE(AsNobody(PlantLink, victim + "|" + spool_));
  ASSERT_EQ(WSAEnableTrace(nullptr, 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "password=hunter2", 0), 0);
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(Read(victim), "secret\n");
}

TEST_F(TraceTargets, DefaultFileOwnedByAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << kNeedsRoot;
  ASSERT_TRUE(AsNobody(PlantFile, spool_));
  ASSERT_EQ(WSAEnableTrace(nullptr, 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "password=hunter2", 0), 0);
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(SizeOf(spool_), 0);
}

TEST_F(TraceTargets, DefaultFileWithASecondNameIsRefused) {
  std::string victim = Victim();
  ASSERT_EQ(link(victim.c_str(), spool_.c_str()), 0);
  ASSERT_EQ(WSAEnableTrace(nullptr, 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "password=hunter2", 0), 0);
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(Read(victim), "secret\n");
}

TEST_F(TraceTargets, DefaultFileIsMadeForItsOwnerOnly) {
  mode_t old_mask = umask(0);  // nothing taken away: the library's mode
  ASSERT_EQ(WSAEnableTrace(nullptr, 0), 1);
  umask(old_mask);
  EXPECT_EQ(NetQuillWrite(0, "mine", 0), 1);
  struct stat st;
  ASSERT_EQ(lstat(spool_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  // Once there, the file is the owner's and takes every record.
  EXPECT_EQ(NetQuillWrite(0, "again", 0), 1);
  auto lines = Lines(spool_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(TagAndText(lines[2]), "INF: again");
}

// A path the caller names is still followed through a link: only the
// default file is treated with suspicion.
TEST_F(TraceTargets, NamedPathsFollowLinksAndReachDevices) {
  std::string real = Path("real.log");
  std::string alias = Path("alias.log");
  ASSERT_EQ(symlink(real.c_str(), alias.c_str()), 0);
  ASSERT_EQ(WSAEnableTrace(alias.c_str(), 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "through the link", 0), 1);
  EXPECT_EQ(WSASetTraceFile("/dev/null"), 1);
  EXPECT_EQ(NetQuillWrite(0, "into the void", 0), 1);
  // A terminal refuses a positioned write; it takes the record all the same.
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  EXPECT_EQ(WSASetTraceFile(ptsname(pty)), 1);
  EXPECT_EQ(NetQuillWrite(0, "on the terminal", 0), 1);
  char seen[256] = {};
  EXPECT_GT(read(pty, seen, sizeof seen - 1), 0);
  EXPECT_NE(strstr(seen, "INF: on the terminal"), nullptr) << seen;
  close(pty);
  auto lines = Lines(real);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TagAndText(lines[1]), "INF: through the link");
}

// Enabling on a FIFO that nobody reads must not wait for a reader: it
// would hold the library lock while it waits. Run in a child, so that a
// wait fails the test rather than hanging it.
TEST_F(TraceTargets, FifoWithoutAReaderDoesNotWait) {
  std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int enabled = WSAEnableTrace(fifo.c_str(), 0);
    int written = NetQuillWrite(0, "record", 0);
    _exit(enabled == 1 && written == 0 ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) {
      struct timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the open of a FIFO without a reader waited for one";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(TraceTargets, FifoSocketAndDirectoryGetNothing) {
  std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(WSAEnableTrace(fifo.c_str(), 0), 1);  // its banner is dropped
  EXPECT_EQ(NetQuillWrite(0, "record", 0), 0);
  char buf[64];
  EXPECT_LE(read(reader, buf, sizeof buf), 0);  // no writer left, or none yet
  close(reader);

  std::string sock_path = Path("sock");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un un;
  memset(&un, 0, sizeof un);
  un.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof un.sun_path);
  memcpy(un.sun_path, sock_path.c_str(), sock_path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr *>(&un), sizeof un), 0);
  EXPECT_EQ(WSASetTraceFile(sock_path.c_str()), 1);
  EXPECT_EQ(NetQuillWrite(0, "record", 0), 0);
  close(sock);

  EXPECT_EQ(WSASetTraceFile(dir_.c_str()), 1);
  EXPECT_EQ(NetQuillWrite(0, "record", 0), 0);
}

// Only the path netquill-run holds goes through its descriptor, and keeps
// its records when moved; the API's own paths open the file per record, so
// the path moved away gets a new one.
TEST_F(TraceTargets, OnlyTheHeldPathAppendsThroughItsDescriptor) {
  std::string held = Path("held.log"), other = Path("other.log");
  int fd = open(held.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
  ASSERT_EQ(NQP_HoldTraceFile(held.c_str(), fd), 1);
  auto append = nq::g_os.append;
  for (const std::string &path : {held, other}) {
    EXPECT_EQ(append(path.c_str(), "1\n", 2), 1);
    ASSERT_EQ(rename(path.c_str(), (path + ".moved").c_str()), 0);
    EXPECT_EQ(append(path.c_str(), "2\n", 2), 1);
    EXPECT_EQ(Read(path + ".moved"), path == held ? "1\n2\n" : "1\n");
    EXPECT_EQ(Read(path), path == held ? "" : "2\n");
  }
  EXPECT_FALSE(nq::HoldFile("", -1));
  close(fd);
  nq::g_os = nq::NativeOsServices();
}

// A count of lost records as netquill-run makes it: sealed (or not), with
// its mark; or, with memfd false, a file of the program's own with the same
// bytes.
int LostCount(bool memfd, bool sealed, const std::string &file) {
  int fd = memfd ? memfd_create("lost", MFD_CLOEXEC | MFD_ALLOW_SEALING)
                 : open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  NQP_LostRecords lost = {
      NQP_LOST_MAGIC[0], NQP_LOST_MAGIC[1], NQP_LOST_MAGIC[2],
      NQP_LOST_MAGIC[3], NQP_LOST_MAGIC[4], NQP_LOST_MAGIC[5],
      NQP_LOST_MAGIC[6], NQP_LOST_MAGIC[7], 0};
  if (fd < 0 || write(fd, &lost, sizeof lost) != sizeof lost) return -1;
  if (sealed) fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  return fd;
}

// Records that cannot be appended are counted only in a sealed count with
// its mark; a number that stands for anything else is never written.
TEST_F(TraceTargets, LostRecordsAreCountedOnlyInTheLaunchersCount) {
  std::string own = Path("own.bin"), missing = Path("no-dir/trace.log");
  for (int fd : {LostCount(true, false, ""), LostCount(false, true, own)}) {
    EXPECT_EQ(NQP_CountLostRecords(fd), 0);
    close(fd);
  }
  int fd = LostCount(true, true, "");
  ASSERT_EQ(NQP_CountLostRecords(fd), 1);
  auto append = nq::g_os.append;
  auto *seen = static_cast<NQP_LostRecords *>(
      mmap(nullptr, sizeof(NQP_LostRecords), PROT_READ, MAP_SHARED, fd, 0));
  ASSERT_NE(seen, MAP_FAILED);
  close(fd);  // the library's mapping stays
  std::string before = Read(own);
  EXPECT_EQ(append(missing.c_str(), "1\n", 2), 0);
  EXPECT_EQ(append(Path("ok.log").c_str(), "2\n", 2), 1);
  EXPECT_EQ(append(missing.c_str(), "3\n", 2), 0);
  EXPECT_EQ(__atomic_load_n(&seen->lost, __ATOMIC_ACQUIRE), 2u);
  EXPECT_EQ(Read(own), before);
  munmap(seen, sizeof(NQP_LostRecords));
  nq::g_os = nq::NativeOsServices();
}

}  // namespace
