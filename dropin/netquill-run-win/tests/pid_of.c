/* pid_of NAME: the id of each running process whose image is NAME, one a
   line (Wine's tasklist lists none). */
#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>

int main(int argc, char **argv) {
  PROCESSENTRY32 entry;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  BOOL more;
  if (argc != 2 || snapshot == INVALID_HANDLE_VALUE) return 2;
  entry.dwSize = sizeof entry;
  for (more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry))
    if (lstrcmpiA(entry.szExeFile, argv[1]) == 0)
      printf("%lu\n", (unsigned long)entry.th32ProcessID);
  return 0;
}
