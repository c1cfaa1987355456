// The update history: file digests, the line format, and the file that
// several programs append to at once.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/utf8_path.h"
#include "firmware/file_source.h"
#include "history/history_file.h"
#include "history/sha256.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

std::string Sha256Of(std::string_view text, std::size_t pieces = 1) {
  Sha256 hash;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t step = text.size() / pieces + 1;
  for (std::size_t at = 0; at < text.size(); at += step) {
    hash.Update({bytes + at, std::min(step, text.size() - at)});
  }
  return HexDigest(hash.Finish());
}

TEST(Sha256, KnownDigests) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the first block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Of(c.text), c.digest) << c.text.size() << " bytes";
    EXPECT_EQ(Sha256Of(c.text, 7), c.digest) << c.text.size() << " bytes in pieces";
  }
}

TEST(Sha256, DigestOfAFileAndOfOneThatCannotBeRead) {
  TempDir dir;
  const std::string path = dir.Write("f.bin", std::vector<std::uint8_t>{'a', 'b', 'c'});
  DiskFileSystem files;
  const auto digest = DigestFile(files, path);
  ASSERT_TRUE(digest);
  EXPECT_EQ(digest->size, 3u);
  EXPECT_EQ(digest->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(DigestFile(files, (dir.path() / "missing").string()));

  // No firmware is that large: such a file is recorded by its size, never
  // read whole (a stop would wait for the hashing of gigabytes).
  const std::string huge = dir.Write("huge.bin", std::vector<std::uint8_t>{'a'});
  std::filesystem::resize_file(huge, std::uintmax_t{3} << 30);
  const auto sized = DigestFile(files, huge);
  ASSERT_TRUE(sized);
  EXPECT_EQ(sized->size, std::uint64_t{3} << 30);
  EXPECT_EQ(sized->sha256, "");
}

HistoryRecord SampleRecord(std::string serial = "SN000123") {
  HistoryRecord record;
  record.time = "2026-12-08T01:02:03Z";
  record.tool = "quorvel-cli";
  record.toolVersion = "2.2.1";
  record.backend = "sim";
  record.resource = "USB0::0x1D7C::0x4A35::" + serial + "::INSTR";
  record.serial = std::move(serial);
  record.identityBefore = "NAVIR,Q1000,SN000123,01.20.05.12";
  record.fileName = "package-3.pak";
  record.fileSize = 4146;
  record.fileSha256 = std::string(64, 'a');
  record.outcome = "installed";
  record.verification = "verified";
  record.identityAfter = "NAVIR,Q1000,SN000123,01.30.06.12";
  return record;
}

void ExpectSame(const HistoryRecord& a, const HistoryRecord& b) {
  EXPECT_EQ(EncodeHistoryLine(a), EncodeHistoryLine(b));
}

TEST(HistoryLine, ARecordComesBackAsItWasWritten) {
  HistoryRecord unverified = SampleRecord();
  unverified.identityAfter.reset();
  unverified.verification.clear();
  unverified.outcome = "transfer failed";
  unverified.reason = "the meter reported CHECKSUM_ERROR";
  for (const HistoryRecord& record : {SampleRecord(), unverified}) {
    const std::string line = EncodeHistoryLine(record);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto back = DecodeHistoryLine(line);
    ASSERT_TRUE(back) << line;
    ExpectSame(*back, record);
    EXPECT_EQ(back->identityAfter.has_value(), record.identityAfter.has_value());
  }
}

TEST(HistoryLine, MeterTextOfAnyLengthOrByteKeepsTheLineBoundedAndValid) {
  HistoryRecord record = SampleRecord();
  record.identityBefore = std::string(100'000, '\x01');  // every byte needs an escape
  record.reason = std::string(5000, '\xff');             // not UTF-8
  record.fileName = "line\nbreak\"quote";
  // Three bytes a character: a cut must fall between characters.
  std::string wide;
  for (int i = 0; i < 3000; ++i) wide += "\xE6\xB8\xAC";
  record.resource = wide;
  const std::string line = EncodeHistoryLine(record);
  EXPECT_LT(line.size(), kMaxHistoryLine);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto back = DecodeHistoryLine(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->fileName, "line\nbreak\"quote");
  EXPECT_EQ(back->serial, "SN000123");
  EXPECT_FALSE(back->resource.empty());
  EXPECT_TRUE(wide.starts_with(back->resource)) << "cut inside a character";
}

TEST(HistoryLine, LinesThatAreNotRecordsAreRefused) {
  const std::string good = EncodeHistoryLine(SampleRecord());
  const std::string cases[] = {
      "",
      "garbage",
      "[1,2,3]",
      "{}",
      good.substr(0, good.size() / 2),  // cut short by a crash
      R"({"time":1})",
      std::string(kMaxHistoryLine + 10, '{'),
      // The size must be a count of bytes.
      [&] {
        std::string line = good;
        line.replace(line.find("4146"), 4, "-1");
        return line;
      }(),
      std::string(20'000, '[') + std::string(20'000, ']'),
  };
  for (const std::string& line : cases) {
    EXPECT_FALSE(DecodeHistoryLine(line)) << line.substr(0, 80);
  }
}

class HistoryFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path path = dir.path() / "state" / "quorvel" / "history.jsonl";
};

TEST_F(HistoryFileTest, DamagedLinesAreSkippedWithAWarningAndLaterAppendsStayWhole) {
  HistoryFile history(path);
  ASSERT_TRUE(history.Append(SampleRecord("SN1"), nullptr));  // creates the folders
  {
    std::ofstream raw(path, std::ios::app | std::ios::binary);
    raw << "this is not json\n\n" << EncodeHistoryLine(SampleRecord("SN2")).substr(0, 40);
  }
  // The append after a line cut short starts on a line of its own.
  ASSERT_TRUE(history.Append(SampleRecord("SN3"), nullptr));

  const HistoryListing listing = history.Read();
  ASSERT_EQ(listing.records.size(), 2u);
  EXPECT_EQ(listing.records[0].serial, "SN1");
  EXPECT_EQ(listing.records[1].serial, "SN3");
  ASSERT_EQ(listing.warnings.size(), 2u);
  EXPECT_NE(listing.warnings[0].find("line 2 "), std::string::npos) << listing.warnings[0];
  EXPECT_NE(listing.warnings[1].find("line 4 "), std::string::npos) << listing.warnings[1];
}

TEST_F(HistoryFileTest, AFileOverItsReadLimitIsListedInPartWithAWarning) {
  HistoryFile history(path, /*readLimit=*/2048);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(history.Append(SampleRecord("SN1"), nullptr));
  const HistoryListing listing = history.Read();
  EXPECT_GT(listing.records.size(), 0u);
  EXPECT_LT(listing.records.size(), 20u);
  ASSERT_FALSE(listing.warnings.empty());
  EXPECT_NE(listing.warnings.back().find("only its beginning was read"), std::string::npos)
      << listing.warnings.back();
}

TEST_F(HistoryFileTest, NoFileIsAnEmptyHistoryAndAFolderInTheWayIsAnError) {
  EXPECT_TRUE(HistoryFile(path).Read().records.empty());
  std::filesystem::create_directories(path);  // a folder where the file should be
  std::string error;
  EXPECT_FALSE(HistoryFile(path).Append(SampleRecord(), &error));
  EXPECT_NE(error.find("history.jsonl"), std::string::npos) << error;
}

#ifndef _WIN32  // fork(); the appends are the same single write on Windows
TEST_F(HistoryFileTest, TwoProcessesAppendingAtOnceKeepEveryLineWhole) {
  constexpr int kPerProcess = 200;
  std::filesystem::create_directories(path.parent_path());
  pid_t children[2] = {};
  for (int child = 0; child < 2; ++child) {
    children[child] = ::fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      HistoryFile history(path);
      HistoryRecord record = SampleRecord("CHILD" + std::to_string(child));
      // Lines of a few KiB: long enough that a torn write would show.
      record.reason = std::string(kMaxHistoryField, static_cast<char>('a' + child));
      record.identityBefore = record.reason;
      record.fileName = record.reason;
      bool ok = true;
      for (int i = 0; i < kPerProcess; ++i) ok = history.Append(record, nullptr) && ok;
      ::_exit(ok ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const HistoryListing listing = HistoryFile(path).Read();
  EXPECT_TRUE(listing.warnings.empty()) << listing.warnings.front();
  ASSERT_EQ(listing.records.size(), 2u * kPerProcess);
  for (const HistoryRecord& record : listing.records) {
    const std::string expected(kMaxHistoryField, record.serial == "CHILD0" ? 'a' : 'b');
    EXPECT_EQ(record.reason, expected);
    EXPECT_EQ(record.fileName, expected);
  }
}

#endif

#ifdef _WIN32
// The folder comes from LOCALAPPDATA, read as UTF-16 so that a user name
// outside the ANSI code page survives.
TEST(HistoryPath, LivesUnderLocalAppData) {
  const wchar_t* saved = ::_wgetenv(L"LOCALAPPDATA");
  const std::wstring kept = saved ? saved : L"";
  const struct {
    const wchar_t* value;
    std::string expected;
  } cases[] = {
      {L"C:\\Users\\J\u00fcrgen \u6e2c\\AppData\\Local",
       "C:\\Users\\J\u00fcrgen \u6e2c\\AppData\\Local\\quorvel\\history.jsonl"},
      {L"relative\\folder", ""},  // not absolute: ignored
      {L"", ""},
  };
  for (const auto& c : cases) {
    ::_wputenv_s(L"LOCALAPPDATA", c.value);
    EXPECT_EQ(Utf8FromPath(DefaultHistoryPath().value_or("")), c.expected) << c.expected;
  }
  ::_wputenv_s(L"LOCALAPPDATA", kept.c_str());
}
#else
TEST(HistoryPath, FollowsTheStateFolderConventions) {
  const char* savedState = std::getenv("XDG_STATE_HOME");
  const std::string state = savedState ? savedState : "";
  const struct {
    std::optional<std::string> xdg;
    std::string expected;
  } cases[] = {
      {"/var/tmp/state", "/var/tmp/state/quorvel/history.jsonl"},
      {"relative/state", "/home/op/.local/state/quorvel/history.jsonl"},  // not absolute: ignored
      {"", "/home/op/.local/state/quorvel/history.jsonl"},
      {std::nullopt, "/home/op/.local/state/quorvel/history.jsonl"},
  };
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome ? savedHome : "";
  ::setenv("HOME", "/home/op", 1);
  for (const auto& c : cases) {
    if (c.xdg) {
      ::setenv("XDG_STATE_HOME", c.xdg->c_str(), 1);
    } else {
      ::unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(DefaultHistoryPath().value_or("").string(), c.expected) << c.xdg.value_or("unset");
  }
  savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
  savedState ? ::setenv("XDG_STATE_HOME", state.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
}
#endif

}  // namespace
}  // namespace quorvel::testing
