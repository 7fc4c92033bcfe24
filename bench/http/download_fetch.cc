// One download into a file with downloader_t, as a process of its own, for
// download_bench to time and to measure: download_fetch URL FILE [REPORT].
// REPORT receives the resident size in KiB just before the transfer starts,
// so that the transfer's own share of the peak can be told apart from what
// the loaded libraries occupy.
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "http/downloader.h"
#include "update/progress.h"

namespace {

void report_resident_size(const char* path) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) std::ofstream(path) << std::stol(line.substr(6)) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: download_fetch URL FILE [REPORT]\n");
    return 2;
  }
  try {
    boost::asio::io_context controller;
    upd::progress_t progress(controller, nullptr);
    boost::asio::io_context service;
    upd::downloader_t downloader(service, &progress);
    downloader.set_timeout(std::chrono::milliseconds(10000));
    if (argc == 4) report_resident_size(argv[3]);
    downloader.download(upd::url_t(argv[1]), boost::filesystem::path(argv[2]));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download_fetch: %s\n", e.what());
    return 1;
  }
}
