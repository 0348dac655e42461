// Reading the files a user gives the program: only regular files, never waiting on a pipe, never more
// than the cap; and where a save through a symbolic link goes.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <QTemporaryDir>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "tests/platform/TestSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t Cap = 1000;

class FilesTest : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return dir.path().toStdString() + "/" + name; }
    void Write(const char* name, const std::string& bytes) const {
        const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::close(fd);
    }
    // A file of that size that holds nothing on disk.
    void Sparse(const char* name, std::uint64_t size) const {
        const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t(size)), 0);
        ::close(fd);
    }
    void Link(const std::string& target, const char* name) const {
        ASSERT_EQ(::symlink(target.c_str(), Path(name).c_str()), 0);
    }

    QTemporaryDir dir;
};

TEST_F(FilesTest, ARegularFileIsReadWholeUpToTheCap) {
    Write("small", "abc");
    Write("empty", "");
    Write("cap", std::string(Cap, 'x'));
    Link("small", "link");
    Link(Path("link"), "link to link");
    const struct {
        const char* name;
        std::size_t size;
    } cases[] = {{"small", 3}, {"empty", 0}, {"cap", Cap}, {"link", 3}, {"link to link", 3}};
    for (const auto& c : cases) {
        Bytes bytes(7, 0xEE);
        const TFileRead read = ReadRegularFile(Path(c.name), Cap, bytes);
        EXPECT_EQ(read.Result, rfRead) << c.name;
        EXPECT_EQ(bytes.size(), c.size) << c.name;
        EXPECT_EQ(read.Problem(), "") << c.name;
    }
}

TEST_F(FilesTest, AnythingButARegularFileOfAtMostTheCapIsNotRead) {
    Sparse("over", Cap + 1);
    Sparse("huge", std::uint64_t(1) << 40); // read, it would exhaust the memory
    ASSERT_EQ(::mkdir(Path("folder").c_str(), 0700), 0);
    Link("/dev/zero", "zero"); // read, it would never end
    Link(Path("nowhere"), "dangling");
    const struct {
        std::string path;
        TReadFileResult result;
        std::string problem;
    } cases[] = {
        {Path("over"), rfTooLarge, "larger than 1000 bytes"},
        {Path("huge"), rfTooLarge, "larger than 1000 bytes"},
        {Path("folder"), rfNotRegular, "not a regular file"},
        {"/dev/zero", rfNotRegular, "not a regular file"},
        {Path("zero"), rfNotRegular, "not a regular file"},
        {"/dev/null", rfNotRegular, "not a regular file"},
        {Path("missing"), rfMissing, SysErrorMessage(ENOENT)},
        {Path("dangling"), rfMissing, SysErrorMessage(ENOENT)},
        {Path("missing/below"), rfMissing, SysErrorMessage(ENOENT)},
    };
    for (const auto& c : cases) {
        Bytes bytes(7, 0xEE);
        const TFileRead read = ReadRegularFile(c.path, Cap, bytes);
        EXPECT_EQ(read.Result, c.result) << c.path;
        EXPECT_EQ(read.Problem(), c.problem) << c.path;
        EXPECT_TRUE(bytes.empty()) << c.path;
    }
}

TEST_F(FilesTest, ANamedPipeIsNeverWaitedOn) {
    const TFifoWatch fifo(Path("pipe"));
    ASSERT_TRUE(fifo.Made());
    Link(Path("pipe"), "link");
    for (const char* name : {"pipe", "link"}) {
        Bytes bytes;
        EXPECT_EQ(ReadRegularFile(Path(name), Cap, bytes).Result, rfNotRegular) << name;
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";
}

TEST_F(FilesTest, AFileThatGrowsPastTheCapWhileReadIsNotRead) {
    // A file of the system's whose size says nothing of what it holds.
    Bytes bytes;
    const TFileRead read = ReadRegularFile("/proc/self/maps", 16, bytes);
    EXPECT_EQ(read.Result, rfTooLarge);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(ReadRegularFile("/proc/self/maps", 1 << 20, bytes).Result, rfRead);
    EXPECT_GT(bytes.size(), 16u);
}

TEST_F(FilesTest, ALinkLeadsToTheFileItNamesThroughEveryLink) {
    ASSERT_EQ(::mkdir(Path("real").c_str(), 0700), 0);
    Write("real/States.bin", "state");
    Link("real/States.bin", "relative");
    Link(Path("relative"), "absolute to relative");
    Link("../real/new.bin", "real/not yet"); // the target does not exist yet
    Link("loop b", "loop a");
    Link("loop a", "loop b");
    const struct {
        const char* name;
        std::string file;
    } cases[] = {
        {"real/States.bin", Path("real/States.bin")},
        {"relative", Path("real/States.bin")},
        {"absolute to relative", Path("real/States.bin")},
        {"real/not yet", Path("real/../real/new.bin")},
        {"missing", Path("missing")},
    };
    for (const auto& c : cases) {
        std::string file;
        EXPECT_TRUE(LinkedFile(Path(c.name), file)) << c.name;
        EXPECT_EQ(file, c.file) << c.name;
    }
    std::string file;
    errno = 0;
    EXPECT_FALSE(LinkedFile(Path("loop a"), file));
    EXPECT_EQ(errno, ELOOP);
}

// A replaced file keeps the permissions its user gave it, through a link too; a new one is the owner's.
TEST_F(FilesTest, AReplacedFileKeepsItsPermissions) {
    Write("shared", "old");
    ASSERT_EQ(::chmod(Path("shared").c_str(), 0644), 0);
    Write("group", "old");
    ASSERT_EQ(::chmod(Path("group").c_str(), 0640), 0);
    Link("group", "link");
    const struct {
        const char* name; // what is saved
        const char* file; // the file that holds the bytes after it
        mode_t mode;
    } cases[] = {{"shared", "shared", 0644}, {"link", "group", 0640}, {"new", "new", 0600}};
    for (const auto& c : cases) {
        std::string problem;
        ASSERT_TRUE(ReplaceRegularFile(Path(c.name), "new", problem)) << c.name << ": " << problem;
        struct stat info {};
        ASSERT_EQ(::stat(Path(c.file).c_str(), &info), 0) << c.name;
        EXPECT_EQ(info.st_mode & 0777, c.mode) << c.name;
        Bytes bytes;
        EXPECT_EQ(ReadRegularFile(Path(c.file), Cap, bytes).Result, rfRead) << c.name;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "new") << c.name;
    }
}

// What a failed replace returns is why it failed, whatever errno holds by the time the caller looks.
TEST_F(FilesTest, AFailedReplaceReturnsWhy) {
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(Path("folder").c_str(), 0700), 0);
    Link("loop b", "loop a");
    Link("loop a", "loop b");
    class TFullDisk : public TFileReplacer {
        ssize_t WriteSome(int, const std::uint8_t*, std::size_t) override {
            errno = ENOSPC;
            return -1;
        }
        bool Rename(const std::string&, const std::string&) override {
            errno = EACCES; // never reached: the write fails first
            return false;
        }
    } full;
    TFileReplacer plain;
    const struct {
        const char* name;
        TFileReplacer& replacer;
        int result;
    } cases[] = {
        {"written", plain, 0},
        {"full", full, ENOSPC},
        {"loop a", plain, ELOOP},
        {"pipe", plain, ReplaceNotRegular},
        {"folder", plain, ReplaceNotRegular},
        {"no folder/file", plain, ENOENT},
    };
    const std::uint8_t byte = 'x';
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(c.replacer.Replace(Path(c.name), &byte, 1), c.result) << c.name;
    }
    EXPECT_EQ(ReplaceProblem(ReplaceNotRegular), NotRegularFile);
    EXPECT_EQ(ReplaceProblem(ENOSPC), SysErrorMessage(ENOSPC));
}

} // namespace
