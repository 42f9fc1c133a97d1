// Compressed log backups: what comes back out of the .gz is what was
// logged; failures keep the backup and say so; an earlier compressed
// backup is never overwritten.
#include <vor/util/log.h>
#include <vor/util/loghandle.h>

#include "platform/gzip.h"
#include "util/internal/compress.h"

#include "support/capture.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef VOR_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace Vor;
using namespace Vor::Util;
using VorTest::ReadFile;
using VorTest::StderrCapture;
using VorTest::TempDir;

namespace {

class CompressedBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Internal::CanCompress())
            GTEST_SKIP() << "built without zlib: backups stay uncompressed";
    }
    void TearDown() override { Log::UnInit(); }

    TempDir m_Dir;
};

#ifdef VOR_HAVE_ZLIB
// The uncompressed content of a gzip file ("<unreadable>" on any failure).
std::string Gunzip(std::string const& path)
{
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr)
        return "<unreadable>";
    std::string out;
    char buffer[4096];
    int got;
    while ((got = gzread(in, buffer, sizeof(buffer))) > 0)
        out.append(buffer, static_cast<std::size_t>(got));
    bool ok = got == 0 && gzclose(in) == Z_OK;
    return ok ? out : "<unreadable>";
}
#else
std::string Gunzip(std::string const&) { return "<unreadable>"; }
#endif

} // namespace

TEST_F(CompressedBackup, ReadsBackAsWhatWasLoggedAndReplacesTheBackup)
{
    std::string full = m_Dir.Path("full.log");
    std::string empty = m_Dir.Path("empty.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, full)));
    ASSERT_TRUE(Log::AddModule(Log::Param(2, Log::INFO_LEVEL, 0, empty)));
    // More than one 64 KiB slice of the compressor.
    for (int i = 0; i < 3000; ++i)
        VOR_LOG(1, Log::INFO_LEVEL) << "line " << i << " of the compressed backup" << Log::End();
    std::string logged = ReadFile(full);
    ASSERT_GT(logged.size(), 64u * 1024u);
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("z", true));
    capture.Stop();
    EXPECT_TRUE(capture.Lines().empty());
    std::string moved = m_Dir.Path("full_z.log");
    EXPECT_EQ("<missing>", ReadFile(moved));
    EXPECT_EQ(logged, Gunzip(moved + ".gz"));
    // An empty backup is left as it is.
    EXPECT_EQ("", ReadFile(m_Dir.Path("empty_z.log")));
    EXPECT_EQ("<missing>", ReadFile(m_Dir.Path("empty_z.log.gz")));
    // Logging goes on in the fresh file.
    VOR_LOG(1, Log::INFO_LEVEL) << "after" << Log::End();
    EXPECT_NE(std::string::npos, ReadFile(full).find("after"));
}

TEST_F(CompressedBackup, FailureReportsTheLineKeepsTheFileAndNeverOverwritesAnEarlierOne)
{
    std::string path = m_Dir.Path("app.log");
    ASSERT_TRUE(Log::AddModule(Log::Param(1, Log::INFO_LEVEL, 0, path)));
    VOR_LOG(1, Log::INFO_LEVEL) << "first" << Log::End();
    ASSERT_TRUE(Log::Backup("d", true));
    std::string moved = m_Dir.Path("app_d.log");
    std::string earlier = Gunzip(moved + ".gz");
    ASSERT_NE(std::string::npos, earlier.find("first"));
    // The same suffix again: the backup file is free, its .gz is not.
    VOR_LOG(1, Log::INFO_LEVEL) << "second" << Log::End();
    StderrCapture capture;
    EXPECT_TRUE(Log::Backup("d", true));
    capture.Stop();
    EXPECT_EQ(std::vector<std::string>{"Compress backup log file " + moved + " error"}, capture.Lines());
    EXPECT_NE(std::string::npos, ReadFile(moved).find("second"));
    EXPECT_EQ(earlier, Gunzip(moved + ".gz"));
}

TEST_F(CompressedBackup, MissingSourceLeavesNothingBehind)
{
    std::string name = m_Dir.Path("absent.log");
    EXPECT_FALSE(Internal::Compress(name));
    EXPECT_EQ("<missing>", ReadFile(name + ".gz"));
    // A folder in the way of the .gz: refused, nothing removed.
    ASSERT_TRUE(VorTest::WriteFile(name, "text"));
    EXPECT_FALSE(Platform::GzipFile(name.c_str(), m_Dir.Path("no/such/folder.gz").c_str()));
    EXPECT_EQ("text", ReadFile(name));
}

TEST(CompressSeam, WithoutZlibEveryCompressionFails)
{
    if (Platform::CanGzip())
        GTEST_SKIP() << "built with zlib";
    TempDir dir;
    std::string name = dir.Path("x.log");
    ASSERT_TRUE(VorTest::WriteFile(name, "text"));
    EXPECT_FALSE(Internal::Compress(name));
    EXPECT_EQ("<missing>", ReadFile(name + ".gz"));
    EXPECT_EQ("text", ReadFile(name));
}
