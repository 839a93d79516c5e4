#include "platform/file_replace.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace torvane {
namespace {

class FileReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/torvane-replace-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  ReplaceResult Replace(const std::string& path, const std::string& text,
                        std::string* why = nullptr) {
    return ReplaceFileContent(path, text.data(), text.size(), why);
  }

  std::string dir_;
};

TEST_F(FileReplaceTest, SymbolicLinksAreWrittenThrough) {
  ASSERT_EQ(mkdir(Path("real").c_str(), 0700), 0);
  Write(Path("real/target.cfg"), "old");
  ASSERT_EQ(chmod(Path("real/target.cfg").c_str(), 0604), 0);
  // A relative link to a relative link.
  ASSERT_EQ(symlink("real/target.cfg", Path("hop.cfg").c_str()), 0);
  ASSERT_EQ(symlink("hop.cfg", Path("link.cfg").c_str()), 0);
  EXPECT_EQ(Replace(Path("link.cfg"), "through"), ReplaceResult::kReplaced);
  struct stat st;
  ASSERT_EQ(lstat(Path("link.cfg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(Path("real/target.cfg")), "through");
  ASSERT_EQ(stat(Path("real/target.cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  // A dangling link creates its target.
  ASSERT_EQ(symlink((dir_ + "/real/fresh.cfg").c_str(), Path("dangling.cfg").c_str()), 0);
  EXPECT_EQ(Replace(Path("dangling.cfg"), "fresh"), ReplaceResult::kReplaced);
  EXPECT_EQ(Read(Path("real/fresh.cfg")), "fresh");
  // A loop is refused.
  ASSERT_EQ(symlink("loop2", Path("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", Path("loop2").c_str()), 0);
  std::string why;
  EXPECT_EQ(Replace(Path("loop1"), "x", &why), ReplaceResult::kNotCreated);
  EXPECT_FALSE(why.empty());
}

TEST_F(FileReplaceTest, WhatCannotBeWrittenIsRefusedWithItsReason) {
  std::string why;
  EXPECT_EQ(Replace(Path("missing/x.cfg"), "x", &why), ReplaceResult::kNotCreated);
  EXPECT_EQ(why, "No such file or directory");
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0700), 0);
  EXPECT_EQ(Replace(Path("folder"), "x", &why), ReplaceResult::kNotCreated);
  EXPECT_EQ(why, "Is a directory");
  EXPECT_EQ(Replace(Path("folder/"), "x", &why), ReplaceResult::kNotCreated);
  EXPECT_EQ(Replace("", "x", &why), ReplaceResult::kNotCreated);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Replace(Path("fifo"), "x", &why), ReplaceResult::kNotCreated);
  EXPECT_EQ(why, "not a regular file");
  // A device stays a device.
  EXPECT_EQ(Replace("/dev/null", "x", &why), ReplaceResult::kNotCreated);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"fifo", "folder"}));
}

}  // namespace
}  // namespace torvane
