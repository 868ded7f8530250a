// Minizip: what it unpacks, what it refuses, and that a refused or broken archive leaves
// nothing behind, neither in the destination nor beside it.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "unzip_status.h"
#include "unzipfile.h"
#include "zip_maker.h"

namespace {

using ziptest::Entry;

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Everything below `dir`, sorted, one line per entry: "name=content" (files over 64 bytes:
// "name=<N bytes>"), "name/" or "name->target".
std::string Listing(const std::string &dir) {
  static std::vector<std::string> *out;
  static size_t prefix;
  std::vector<std::string> lines;
  out = &lines;
  prefix = dir.size() + 1;
  nftw(
      dir.c_str(),
      [](const char *path, const struct stat *st, int type, FTW *) {
        if (std::strlen(path) < prefix) return 0;
        const std::string rel = path + prefix;
        if (type == FTW_SL) {
          char target[256] = "";
          readlink(path, target, sizeof target - 1);
          out->push_back(rel + "->" + target);
        } else if (S_ISDIR(st->st_mode)) {
          out->push_back(rel + "/");
        } else {
          const std::string data = ReadFile(path);
          out->push_back(rel + "=" + (data.size() > 64 ? "<" + std::to_string(data.size()) + " bytes>" : data));
        }
        return 0;
      },
      16, FTW_PHYS);
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string &l : lines) text += l + "\n";
  return text;
}

class Minizip_ : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/minizip-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top_ = tmpl;
    dest_ = top_ + "/unpack/here";
    archive_ = top_ + "/a.zip";
  }
  void TearDown() override {
    nftw(top_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  int Unpack(const std::vector<Entry> &entries) {
    EXPECT_TRUE(ziptest::MakeZip(archive_, entries));
    return Minizip(archive_.c_str(), dest_.c_str());
  }
  // Gives the destination a file it already holds; returns the whole tree's listing.
  std::string Prepare() {
    EXPECT_EQ(system(("mkdir -p " + dest_).c_str()), 0);
    WriteFile(dest_ + "/old.bin", "old");
    return Listing(top_);
  }

  std::string top_, dest_, archive_;
};

TEST_F(Minizip_, UnpacksFilesAndDirectoriesCreatingTheDestination) {
  std::string image;
  for (int i = 0; image.size() < 100000; ++i) image += std::to_string(i * 7919 % 1000);
  ASSERT_EQ(Unpack({{"payload.xml", "<payload/>"},
                    {"fw/", "", Entry::kDirectory},
                    {"fw/nic/image.bin", image},
                    {"./fw/readme.txt", "stored", Entry::kFile, true},
                    {"empty/", "", Entry::kDirectory},
                    {"fw//nic/./note", "n"}}),
            0);
  EXPECT_EQ(Listing(dest_), "empty/\nfw/\nfw/nic/\nfw/nic/image.bin=<" + std::to_string(image.size()) +
                                " bytes>\nfw/nic/note=n\nfw/readme.txt=stored\npayload.xml=<payload/>\n");
  EXPECT_EQ(ReadFile(dest_ + "/fw/nic/image.bin"), image);

  // Again over what is there: files are replaced, others stay.
  WriteFile(dest_ + "/other", "kept");
  ASSERT_EQ(Unpack({{"payload.xml", "<second/>"}}), 0);
  EXPECT_EQ(ReadFile(dest_ + "/payload.xml"), "<second/>");
  EXPECT_EQ(ReadFile(dest_ + "/other"), "kept");
  EXPECT_EQ(ReadFile(dest_ + "/fw/readme.txt"), "stored");
}

TEST_F(Minizip_, RefusesEntriesThatWouldLeaveTheDestination) {
  struct Case {
    const char *what;
    std::vector<Entry> entries;
  };
  /* 300 names 2000 directories deep, then a file where they begin: refused at once, the
   * names checked at a cost linear in their length. */
  std::vector<Entry> deep;
  std::string levels;
  for (int i = 0; i < 2000; ++i) levels += "a/";
  for (int i = 0; i < 300; ++i) deep.push_back({"d" + std::to_string(i) + "/" + levels + "f", "x"});
  deep.push_back({"d0", "file"});
  const std::vector<Case> cases = {
      {"parent", {{"../escape", "x"}}},
      {"parent after a good entry", {{"good.bin", "g"}, {"dir/good2", "g"}, {"sub/../../escape", "x"}}},
      {"absolute", {{"ok", "o"}, {top_ + "/escape", "x"}}},
      {"symbolic link", {{"link", top_, Entry::kSymlink}}},
      {"file through a link", {{"link", top_, Entry::kSymlink}, {"link/escape", "x"}}},
      {"file and directory alike", {{"a", "file"}, {"a/b", "x"}}},
      {"nameless", {{"", "x"}}},
      {"deep names and a file where they begin", deep},
  };
  const std::clock_t start = std::clock();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = Prepare();
    EXPECT_EQ(Unpack(c.entries), unzipfile::kRefused);
    std::remove(archive_.c_str());
    EXPECT_EQ(Listing(top_), before);
  }
  EXPECT_LT(std::clock() - start, CLOCKS_PER_SEC);
}

TEST_F(Minizip_, BrokenArchivesLeaveNothingBehind) {
  const std::string marker = "THE-SECOND-ENTRY-DATA";
  ASSERT_TRUE(ziptest::MakeZip(top_ + "/good.zip", {{"first.bin", std::string(5000, 'a')},
                                                    {"dir/second.bin", marker, Entry::kFile, true}}));
  const std::string good = ReadFile(top_ + "/good.zip");
  std::string flipped = good;
  flipped[flipped.find(marker)] ^= 0x20;  // the stored data no longer matches its CRC

  struct Case {
    const char *what;
    std::string bytes;  // the archive's content; none at all when it is "<absent>"
    int expected;
  };
  const std::vector<Case> cases = {
      {"missing", "<absent>", unzipfile::kNoArchive},
      {"not a zip archive", "just some text", unzipfile::kNoArchive},
      {"empty file", "", unzipfile::kNoArchive},
      {"cut short", good.substr(0, good.size() / 2), unzipfile::kNoArchive},
      {"data not matching its CRC", flipped, unzipfile::kCorrupt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = Prepare();
    std::remove(archive_.c_str());
    if (c.bytes != "<absent>") WriteFile(archive_, c.bytes);
    EXPECT_EQ(Minizip(archive_.c_str(), dest_.c_str()), c.expected);
    std::remove(archive_.c_str());
    EXPECT_EQ(Listing(top_), before);
  }
  EXPECT_NE(Minizip(nullptr, dest_.c_str()), 0);
  EXPECT_NE(Minizip(archive_.c_str(), ""), 0);
}

TEST_F(Minizip_, LinksAlreadyInTheDestinationAreNotFollowed) {
  const std::string outside = top_ + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  WriteFile(outside + "/target", "precious");
  Prepare();
  ASSERT_EQ(symlink(outside.c_str(), (dest_ + "/sub").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (dest_ + "/fw.bin").c_str()), 0);

  // Through a linked directory: refused, nothing written there.
  EXPECT_EQ(Unpack({{"sub/escape", "x"}}), unzipfile::kWriteFailed);
  EXPECT_EQ(Listing(outside), "target=precious\n");

  // Onto a linked file: the link is replaced, its target stays as it was.
  ASSERT_EQ(Unpack({{"fw.bin", "new image"}}), 0);
  struct stat st;
  ASSERT_EQ(lstat((dest_ + "/fw.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(dest_ + "/fw.bin"), "new image");
  EXPECT_EQ(Listing(outside), "target=precious\n");
}

}  // namespace
