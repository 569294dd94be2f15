// The folder opener: folders walked component by component without following a link,
// held, and changed only relative to their handles.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "folder_handle.h"
#include "test_support.h"
#include "util/nimbo_archive.h"
#include "util/nimbo_utils.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::snapshot;
using testsupport::TempDir;
using testsupport::write_file;

namespace {


// ---- the opener --------------------------------------------------------------------------

class FolderOpener : public testsupport::DeviceRootTest {
protected:
    TempDir outside_;
};

TEST_F(FolderOpener, WalksWithoutFollowingAndRefusesWhatIsNoFolder) {
    write_file(outside_ / "other/keep", "precious");
    write_file(root_ / "usr/data/file", "x");
    write_file(root_ / "usr/data/app/.keep", "");
    ASSERT_EQ(::symlink((outside_ / "other").c_str(), (root_ / "usr/data/app/linked").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ / "other").c_str(), (root_ / "usr/upper").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ / "nowhere").c_str(), (root_ / "usr/data/dangling").c_str()), 0);
    struct Case {
        std::string path;
        bool create;
        nimbo::FolderRefusal why;
        std::string where;  // the component reported
    } cases[] = {
        {root_ / "usr/data/app", false, nimbo::FolderRefusal::none, ""},
        {root_ / "usr/data/app/new/deeper", true, nimbo::FolderRefusal::none, ""},
        {root_ / "usr/data/app/linked", false, nimbo::FolderRefusal::link, root_ / "usr/data/app/linked"},
        {root_ / "usr/data/app/linked/sub", true, nimbo::FolderRefusal::link, root_ / "usr/data/app/linked"},
        {root_ / "usr/upper/sub", true, nimbo::FolderRefusal::link, root_ / "usr/upper"},
        {root_ / "usr/data/dangling", true, nimbo::FolderRefusal::link, root_ / "usr/data/dangling"},
        {root_ / "usr/data/file/sub", true, nimbo::FolderRefusal::not_folder, root_ / "usr/data/file"},
        {root_ / "usr/data/missing", false, nimbo::FolderRefusal::missing, root_ / "usr/data/missing"},
        {root_ / "usr/data/app/../file", false, nimbo::FolderRefusal::not_folder, root_ / "usr/data/app/.."},
        {root_ / "usr//data///app/", false, nimbo::FolderRefusal::none, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        nimbo::FolderError error;
        UniqueFd fd{nimbo::folder_open(c.path.c_str(), c.create, &error)};
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(static_cast<bool>(fd), c.why == nimbo::FolderRefusal::none);
        EXPECT_EQ(error.where, c.where);
    }
    EXPECT_TRUE(exists(root_ / "usr/data/app/new/deeper"));
    EXPECT_EQ(snapshot(outside_.path()), "other/\nother/keep = precious\n");
    EXPECT_FALSE(exists(outside_ / "nowhere"));
}

TEST_F(FolderOpener, TheDeviceRootItselfIsTheOperatorsChoice) {
    // A root reached through a link is opened as named; below it nothing is followed.
    write_file(outside_ / "real/usr/data/.keep", "");
    std::string linked_root = outside_ / "root-link";
    ASSERT_EQ(::symlink((outside_ / "real").c_str(), linked_root.c_str()), 0);
    testsupport::DeviceRoot root(linked_root);
    UniqueFd fd{nimbo::folder_open((linked_root + "/usr/data").c_str(), false, nullptr)};
    EXPECT_TRUE(fd);
}

TEST_F(FolderOpener, AHeldFolderReplacedByALinkIsWalkedAgainAndRefused) {
    std::string data = root_ / "usr/data/app/nimboservice/data";
    UniqueFd first{nimbo::folder_handle(data.c_str(), true, nullptr)};
    ASSERT_TRUE(first);
    first.reset();
    write_file(outside_ / "other/keep", "precious");
    ASSERT_EQ(::rmdir(data.c_str()), 0);
    ASSERT_EQ(::symlink((outside_ / "other").c_str(), data.c_str()), 0);
    nimbo::FolderError error;
    UniqueFd again{nimbo::folder_handle(data.c_str(), true, &error)};
    EXPECT_FALSE(again);
    EXPECT_EQ(error.why, nimbo::FolderRefusal::link);
}

TEST_F(FolderOpener, ChangesStayInsideTheHandle) {
    std::string dir = root_ / "usr/data/work";
    write_file(dir + "/plain", "old");
    write_file(dir + "/sub/deep/file", "x");
    write_file(outside_ / "other/keep", "precious");
    write_file(outside_ / "target", "precious");
    ASSERT_EQ(::symlink((outside_ / "other").c_str(), (dir + "/sub/linked-folder").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ / "target").c_str(), (dir + "/linked-file").c_str()), 0);
    UniqueFd fd{nimbo::folder_handle(dir.c_str(), false, nullptr)};
    ASSERT_TRUE(fd);

    // Atomic replacement: a link at the name is replaced itself.
    bool was_link = false;
    EXPECT_EQ(nimbo::replace_at(fd.get(), "linked-file", "new\n", 4, &was_link), 0);
    EXPECT_TRUE(was_link);
    EXPECT_EQ(read_file(dir + "/linked-file"), "new\n");
    EXPECT_EQ(nimbo::replace_at(fd.get(), "../escape", "x", 1, nullptr), -1);
    // A folder at the name stays (the rename fails), unless it stands at one of the
    // service's own state files: then it gives way, its content with it, nothing behind a link.
    write_file(dir + "/state/inner/x", "junk");
    ASSERT_EQ(::symlink((outside_ / "other").c_str(), (dir + "/state/inner/out").c_str()), 0);
    EXPECT_EQ(nimbo::replace_at(fd.get(), "state", "1\n", 2, nullptr), -2);
    EXPECT_EQ(read_file(dir + "/state/inner/x"), "junk");
    EXPECT_EQ(nimbo::replace_at(fd.get(), "state", "1\n", 2, nullptr, true), 0);
    EXPECT_EQ(read_file(dir + "/state"), "1\n");
    struct stat st;
    ASSERT_EQ(::stat((dir + "/state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_file(outside_ / "other/keep"), "precious");

    // The no-follow opener relative to the handle and through a path with a linked folder.
    nimbo::NofollowRefusal why;
    EXPECT_LT(nimbo::nofollow_openat(fd.get(), "sub", O_WRONLY, 0, &why), 0);
    EXPECT_EQ(why, nimbo::NofollowRefusal::not_regular);
    EXPECT_LT(nimbo::nofollow_open((dir + "/sub/linked-folder/keep").c_str(), O_WRONLY | O_APPEND, 0, &why), 0);
    EXPECT_EQ(why, nimbo::NofollowRefusal::folder);

    // A clean-up removes links as links and never descends through them.
    EXPECT_EQ(nimbo::clear_at(fd.get()), 0);
    EXPECT_EQ(snapshot(dir), "");
    EXPECT_EQ(snapshot(outside_.path()), "other/\nother/keep = precious\ntarget = precious\n");

    // Moves between two held folders; a link is not moved as a file.
    write_file(dir + "/a", "package");
    UniqueFd to{nimbo::folder_handle((root_ / "usr/data/to").c_str(), true, nullptr)};
    ASSERT_TRUE(to);
    EXPECT_EQ(nimbo::move_at(fd.get(), "a", to.get(), "b.zip"), 0);
    EXPECT_EQ(read_file(root_ / "usr/data/to/b.zip"), "package");
    ASSERT_EQ(::symlink((outside_ / "target").c_str(), (dir + "/l").c_str()), 0);
    EXPECT_NE(nimbo::move_at(fd.get(), "l", to.get(), "c.zip"), 0);
}


// The log archive is written from the held folder: what a link names is not archived.
TEST_F(FolderOpener, TheLogArchiveHoldsTheFolderAndNoLinkedContent) {
    std::string logs = root_ / "usr/data/log";
    write_file(logs + "/nimbo_log.log", "line 1\n");
    write_file(logs + "/old/nimbo_log.log.1", std::string(1000, 'a'));
    write_file(outside_ / "secret/key", "secret");
    ASSERT_EQ(::symlink((outside_ / "secret").c_str(), (logs + "/linked").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ / "secret/key").c_str(), (logs + "/key").c_str()), 0);
    UniqueFd dir{nimbo::folder_handle(logs.c_str(), false, nullptr)};
    ASSERT_TRUE(dir);
    std::string archive = outside_ / "app_log.tar.gz";
    UniqueFd out{::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    ASSERT_TRUE(out);
    ASSERT_TRUE(nimbo::write_tar_gz(dir.get(), out.get()));
    std::string unpacked = outside_ / "unpacked";
    write_file(unpacked + "/.keep", "");
    ::unlink((unpacked + "/.keep").c_str());
    ASSERT_EQ(std::system(("tar -xzf '" + archive + "' -C '" + unpacked + "'").c_str()), 0);
    EXPECT_EQ(snapshot(unpacked), "nimbo_log.log = line 1\n\nold/\nold/nimbo_log.log.1 = " + std::string(1000, 'a') + "\n");
}

}  // namespace
