// Running code where the permission bits of files are obeyed.
#ifndef NQ_TESTS_STRESS_PRIVILEGE_H
#define NQ_TESTS_STRESS_PRIVILEGE_H

#include <string>

namespace nqstress {

// What RunUnprivileged returns when it cannot give up its privileges.
constexpr int kCannotDropPrivileges = -2;

// Runs fn(arg) and returns its result, 0 to 100. A POSIX process running
// as root ignores permission bits, so there fn runs in a forked child that
// has become an unprivileged user, and its changes to the library's state
// stay in that child.
int RunUnprivileged(int (*fn)(const std::string &), const std::string &arg);

}  // namespace nqstress

#endif
