#pragma once
// A local site server for benchmarks of the download window, and what they measure with.
//
// The server runs in a child process forked before anything else (so the measuring process's
// CPU time and memory are the client's alone) and answers each connection in a process of its
// own, HTTP/1.0 style: one request, one answer, then the close.

#include "retrieval/Download.h"

#include <cstddef>
#include <string>

namespace bench {

bool SendAll(int fd, const char* data, std::size_t len);
inline bool SendAll(int fd, const std::string& data)
{
    return SendAll(fd, data.data(), data.size());
}
// The request line and header, up to the blank line.
std::string ReadRequest(int fd);
// The orderly end of an answer: our side shut, the client's rest read, the socket closed.
void EndAnswer(int fd);

// A listening socket on a free port of 127.0.0.1 (port set), or -1 after printing why.
int ListenOnLoopback(int backlog, int& port);
// Accepts until the parent goes away, each connection answered in a child process.
[[noreturn]] void ServeForever(int listenFd, void (*answer)(int fd));

// For the window's process: offscreen, the system proxy pointed at the server on port, the
// product's title, and every message box written to stderr (and counted in *boxes if given).
void PrepareWindowProcess(int port, int* boxes = nullptr);

double CpuSeconds();
long PeakKilobytes();

// The window's owner: an output folder, Normal quality, no converter.
struct FolderOwner : cw::TRunOwner {
    std::string Folder;
    int ConnectionsPerFile = 1;
    std::string OutputFolderText() const override { return Folder; }
    int Connections() const override { return ConnectionsPerFile; }
    int Quality() const override { return cw::vqNormal; }
    cw::TConvertProcess* ConvertRunner() const override { return nullptr; }
};

} // namespace bench
