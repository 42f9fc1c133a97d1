// Levelled module logs: two modules write into files in a temporary folder
// (the second also shows its lines on standard error), the files are backed
// up twice while the program runs, and the program prints where every line
// went.
#include <vor/vor.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace Vor::Util;

namespace {

constexpr unsigned int kNet = 1;
constexpr unsigned int kStore = 2;

void Show(std::filesystem::path const& file)
{
    std::ifstream in(file);
    std::string line;
    std::printf("%s:\n", file.filename().c_str());
    while (std::getline(in, line))
        std::printf("    %s\n", line.c_str());
}

} // namespace

int main()
{
    namespace fs = std::filesystem;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path dir = fs::temp_directory_path() / ("vor-logging-" + std::to_string(stamp));
    fs::create_directories(dir);

    std::string net = (dir / "net.log").string();
    std::string store = (dir / "store.log").string();
    // The network module writes up to information; the store module writes
    // everything, and its bare messages appear on standard error too.
    if (!Log::Init({Log::Param(kNet, Log::INFO_LEVEL, 0, net), Log::Param(kStore, Log::TRACE_LEVEL, 2, store)})) {
        std::fprintf(stderr, "could not open the logs in %s\n", dir.c_str());
        return 1;
    }

    VOR_LOG(kNet, Log::INFO_LEVEL, "listening on %:%") << "127.0.0.1" << 8080 << Log::End();
    VOR_LOG(kNet, Log::DEBUG_LEVEL, "dropped: the module stops at information") << Log::End();
    VOR_LOG(kStore, Log::TRACE_LEVEL, "opened % with % records") << "orders.db" << 42 << Log::End();

    // The first backup moves both files aside; logging goes on in fresh ones.
    Log::Backup("morning", false);
    VOR_LOG(kNet, Log::WARN_LEVEL, "peer % closed after % ms") << "10.0.0.7" << 1500 << Log::End();
    VOR_LOG(kStore, Log::ERROR_LEVEL, "write of record % failed, 100%% of retries used") << 7 << Log::End();

    // The second asks for compression too; this build carries no
    // compressor, so it says so on standard error and keeps the files.
    Log::Backup("evening", true);
    VOR_LOG(kNet, Log::INFO_LEVEL) << "shutting down" << Log::End();
    Log::UnInit();

    std::printf("\nThe lines went to %s:\n", dir.c_str());
    for (char const* name : {"net_morning.log", "net_evening.log", "net.log", "store_morning.log",
                             "store_evening.log", "store.log"})
        Show(dir / name);
    fs::remove_all(dir);
    return 0;
}
