// A socket address as netquill-run.exe's lines and the labels of -y write
// it, whatever its family: built into NQINJECT.DLL and the drop-in
// WSOCK32.DLL alike, so that both label a socket the same.
#ifndef NQ_RUN_WIN_ADDRESS_TEXT_WIN32_H
#define NQ_RUN_WIN_ADDRESS_TEXT_WIN32_H

#include <stddef.h>

namespace nq {

// Room for the longest address text: an AF_UNIX path of 108 bytes, each
// as \xHH, in quotes.
constexpr size_t kAddressText = 448;

// The address of length bytes at addr, read by its family: "1.2.3.4:80",
// "[::1]:443", "\"C:\\x.sock\"", "<family N>"; "NULL" for none, and
// "<N bytes>" for one too short for its family (so "<0 bytes>" where the
// call wrote none or could not read it).
const char *AddressText(char *buf, const void *addr, int length);

}  // namespace nq

#endif
