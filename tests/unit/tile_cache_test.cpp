#include "tiles/tile_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/failure.h"
#include "own_temp_path.h"

namespace plotr {
namespace {

namespace fs = std::filesystem;
const std::string url = "http://h/{z}/{x}/{y}.png";

// A cache folder of zoom 3, column 1 in a top folder of `mode`, removed after.
struct TileCache : ::testing::Test {
    const std::string top = own_temp_path("cache");
    const std::string column = top + "/" + cache_folder_name(url) + "/3/1";
    const std::string tile = own_temp_path("tile.png");
    void SetUp() override {
        fs::create_directory(top);
        std::ofstream(tile) << "png";
    }
    void TearDown() override {
        fs::remove_all(top);
        fs::remove(tile);
    }
    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        lstat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
};

TEST(TileCacheTrust, OnlyOwnRootsOrSharedFolders) {
    struct Row {
        uid_t owner;
        gid_t group;
        mode_t mode;
        uid_t uid;
        std::vector<gid_t> groups;
        std::string reason;
    } rows[] = {
        {1000, 1000, 0700, 1000, {1000}, ""},
        {0, 0, 0755, 1000, {1000}, ""},
        {1000, 1000, 0777, 1000, {1000}, "writable by others"},
        {1000, 1000, 01777, 1000, {1000}, "writable by others"},
        {1001, 50, 02770, 1000, {1000, 50}, ""},
        {1001, 50, 02750, 1000, {1000, 50}, "owned by another user (uid 1001)"},
        {1001, 51, 02770, 1000, {1000, 50}, "owned by another user (uid 1001)"},
        {1001, 0, 0755, 0, {0}, "owned by another user (uid 1001)"},
        {1001, 0, 0775, 0, {0}, "owned by another user (uid 1001)"},
        {1001, 50, 02770, 0, {0, 50}, ""},
    };
    for (const Row& row : rows) {
        struct stat st {};
        st.st_uid = row.owner;
        st.st_gid = row.group;
        st.st_mode = S_IFDIR | row.mode;
        EXPECT_EQ(cache_folder_distrust(st, row.uid, row.groups), row.reason)
            << row.owner << ":" << row.group << " " << std::oct << row.mode;
    }
}

// What plotr makes gets the group bits of the folder above, never others'.
TEST_F(TileCache, ModesWhateverTheUmask) {
    const mode_t umask_was = umask(022);
    const std::tuple<mode_t, mode_t, mode_t> rows[] = {
        {0700, 0700, 0600}, {02770, 02770, 0660}, {0775, 0770, 0660}};
    for (const auto& [top_mode, folders, files] : rows) {
        fs::remove_all(top);
        mkdir(top.c_str(), 0700);
        chmod(top.c_str(), top_mode);
        Tile_cache cache(top, url, 3, 1, 2);
        ASSERT_TRUE(cache.store(1, 0, tile));
        ASSERT_TRUE(cache.try_lock(1, 0));
        int seen = 0;
        for (const auto& entry : fs::recursive_directory_iterator(top)) {
            const std::string path = entry.path();
            EXPECT_EQ(mode_of(path), entry.is_directory() ? folders : files) << path;
            ++seen;
        }
        EXPECT_EQ(seen, 7) << "folder, template, zoom, 2 columns, entry, lock";
    }
    umask(umask_was);
}

// The checks hold for every folder below the top, made by plotr or not.
TEST_F(TileCache, RefusesUntrustedFoldersAtAnyDepth) {
    Tile_cache(top, url, 3, 1, 1);
    const std::string zoom = fs::path(column).parent_path();
    struct Row {
        std::string folder;
        mode_t mode;
        uid_t owner;
        std::string reason;
    } rows[] = {
        {top, 01777, 0, "writable by others"},
        {fs::path(zoom).parent_path(), 0777, 0, "writable by others"},
        {zoom, 0772, 0, "writable by others"},
        {column, 01777, 0, "writable by others"},
        {column, 0770, 54321, "owned by another user (uid 54321)"},
    };
    for (const Row& row : rows) {
        if (row.owner != 0 && geteuid() != 0) {
            continue;  // only root gives folders away
        }
        chmod(row.folder.c_str(), row.mode);
        if (row.owner != 0) {
            ASSERT_EQ(chown(row.folder.c_str(), row.owner, row.owner), 0);
        }
        try {
            Tile_cache(top, url, 3, 1, 1);
            ADD_FAILURE() << row.folder << " trusted";
        } catch (const Fatal_error& e) {
            EXPECT_EQ(e.what(), "Failure(\"cannot use the tile cache folder " + row.folder + ": " +
                                    row.reason + "\")");
        }
        chmod(row.folder.c_str(), 0700);
        chown(row.folder.c_str(), geteuid(), getegid());
    }
}

TEST_F(TileCache, FreshForAWeekNeverFromTheFuture) {
    Tile_cache cache(top, url, 3, 1, 1);
    ASSERT_TRUE(cache.store(1, 0, tile));
    const std::time_t stored = 1'700'000'000, day = 24 * 60 * 60;
    const timespec times[2] = {{stored, 0}, {stored, 0}};
    utimensat(AT_FDCWD, (column + "/0.png").c_str(), times, 0);
    using S = Tile_cache::State;
    const std::pair<std::time_t, S> rows[] = {{stored, S::fresh},
                                              {stored + 7 * day - 1, S::fresh},
                                              {stored + 7 * day, S::stale},
                                              {stored - day, S::fresh},
                                              {stored - day - 1, S::stale}};
    for (const auto& [now, state] : rows) {
        const Tile_cache::Entry entry = cache.find(1, 0, now);
        EXPECT_EQ(entry.state, state) << now - stored;
        EXPECT_EQ(entry.mtime, stored);
    }
    cache.refresh(1, 0);
    EXPECT_EQ(cache.find(1, 0, std::time(nullptr)).state, S::fresh);
    EXPECT_EQ(cache.find(1, 1, stored).state, S::missing);
    EXPECT_EQ(cache.find(2, 0, stored).state, S::missing);
}

// Found fresh, then swapped for a link before it is read: never followed,
// and the next store replaces the link, not its target.
TEST_F(TileCache, EntriesSwappedForLinksAreNotFollowed) {
    Tile_cache cache(top, url, 3, 1, 1);
    ASSERT_TRUE(cache.store(1, 0, tile));
    ASSERT_EQ(cache.find(1, 0, std::time(nullptr)).state, Tile_cache::State::fresh);
    const std::string entry = column + "/0.png", secret = top + "/secret";
    std::ofstream(secret) << "secret";
    fs::remove(entry);
    fs::create_symlink(secret, entry);
    EXPECT_LT(cache.open_entry(1, 0).get(), 0);
    EXPECT_EQ(cache.find(1, 0, std::time(nullptr)).state, Tile_cache::State::missing);
    ASSERT_TRUE(cache.store(1, 0, tile));
    EXPECT_FALSE(fs::is_symlink(entry));
    EXPECT_EQ(fs::file_size(secret), 6u);
    EXPECT_GE(cache.open_entry(1, 0).get(), 0);
}

TEST_F(TileCache, LocksKeepOtherRunsOut) {
    Tile_cache one(top, url, 3, 1, 1), other(top, url, 3, 1, 1);
    EXPECT_TRUE(one.try_lock(1, 0));
    EXPECT_FALSE(other.try_lock(1, 0));
    EXPECT_TRUE(other.try_lock(1, 1));
    EXPECT_TRUE(other.try_lock(5, 0)) << "a column not opened is free";
    one.unlock(1, 0);
    EXPECT_TRUE(other.try_lock(1, 0));
    EXPECT_FALSE(one.try_lock(1, 0));
}

}  // namespace
}  // namespace plotr
