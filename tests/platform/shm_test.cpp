/*
 * shm_test.cpp - named POSIX shared memory.
 *
 * Segments are looked at from outside too: a segment named N must be the
 * file /dev/shm/N, and a forked child that opens it by name must share its
 * bytes with the parent.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "orv.h"

namespace {

std::string unique_name(const char *tag)
{
    static int counter;
    return std::string("orv_test.") + tag + "." + std::to_string(getpid()) + "." + std::to_string(++counter);
}

off_t dev_shm_size(const std::string &name)
{
    struct stat st;
    if (stat(("/dev/shm/" + name).c_str(), &st) != 0)
        return -1;
    return st.st_size;
}

} // namespace

TEST(Shm, BadNamesAreRefusedAndTheLongestIsTaken)
{
    orv_shm_t shm;
    bool created;
    const std::string too_long(ORV_SHM_NAME_MAX + 1, 'x');
    for (const char *bad : {static_cast<const char *>(nullptr), "", "a/b", "/lead", too_long.c_str()}) {
        created = true;
        EXPECT_EQ(orv_shm_open(bad, 64, &shm, &created), static_cast<uint32_t>(EINVAL)) << (bad ? bad : "NULL");
        EXPECT_FALSE(created);
        if (bad != nullptr && bad[0] != '/') {
            EXPECT_EQ(orv_shm_unlink(bad), static_cast<uint32_t>(EINVAL)) << bad;
        }
    }
    EXPECT_EQ(shm.addr, nullptr);
    EXPECT_EQ(orv_shm_open("x", 64, nullptr, nullptr), static_cast<uint32_t>(EINVAL));

    std::string longest = unique_name("l");
    longest.append(ORV_SHM_NAME_MAX - longest.size(), 'y');
    ASSERT_EQ(orv_shm_open(longest.c_str(), 64, &shm, nullptr), 0u);
    EXPECT_EQ(dev_shm_size(longest), 64);
    EXPECT_EQ(orv_shm_close(&shm), 0u);
    EXPECT_EQ(orv_shm_unlink(longest.c_str()), 0u);
}

TEST(Shm, CreateReopenGrowAndUnlink)
{
    std::string name = unique_name("c");
    orv_shm_t shm;
    bool created = true;
    EXPECT_EQ(orv_shm_open(name.c_str(), 0, &shm, &created), static_cast<uint32_t>(ENOENT))
        << "size 0 never creates";
    EXPECT_FALSE(created);
    EXPECT_EQ(dev_shm_size(name), -1);

    ASSERT_EQ(orv_shm_open(name.c_str(), 4096, &shm, &created), 0u);
    EXPECT_TRUE(created);
    ASSERT_NE(shm.addr, nullptr);
    EXPECT_EQ(shm.size, 4096u);
    EXPECT_EQ(dev_shm_size(name), 4096);
    memcpy(shm.addr, "hello", 6);

    /* Later opens find it with its bytes: size 0 maps it at its own size, a
     * larger size grows it, a smaller one does not shrink it. */
    struct {
        size_t open_size, file_size;
    } const reopens[] = {{4096, 4096}, {0, 4096}, {3 * 4096, 3 * 4096}, {100, 3 * 4096}};
    for (const auto &r : reopens) {
        orv_shm_t again;
        created = true;
        ASSERT_EQ(orv_shm_open(name.c_str(), r.open_size, &again, &created), 0u) << r.open_size;
        EXPECT_FALSE(created);
        EXPECT_GE(again.size, r.open_size);
        EXPECT_EQ(dev_shm_size(name), static_cast<off_t>(r.file_size));
        EXPECT_STREQ(static_cast<const char *>(again.addr), "hello");
        if (r.open_size == 0) {
            EXPECT_EQ(again.size, 4096u);
        }
        static_cast<char *>(again.addr)[again.size - 1] = 'z'; /* mapped to its end */
        EXPECT_EQ(orv_shm_close(&again), 0u);
        EXPECT_EQ(again.addr, nullptr);
        EXPECT_EQ(orv_shm_close(&again), static_cast<uint32_t>(EBADF));
    }

    EXPECT_EQ(orv_shm_close(&shm), 0u);
    EXPECT_EQ(orv_shm_unlink(name.c_str()), 0u);
    EXPECT_EQ(dev_shm_size(name), -1);
    EXPECT_EQ(orv_shm_unlink(name.c_str()), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(orv_shm_close(nullptr), static_cast<uint32_t>(EINVAL));
}

TEST(Shm, ForkedChildSharesTheSegmentByName)
{
    std::string name = unique_name("f");
    orv_shm_t shm;
    bool created = false;
    ASSERT_EQ(orv_shm_open(name.c_str(), 8192, &shm, &created), 0u);
    ASSERT_TRUE(created);
    memset(shm.addr, 0, shm.size);

    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        /* The child opens its own mapping by name, as a slave does. */
        orv_shm_t child;
        if (orv_shm_open(name.c_str(), 0, &child, nullptr) != 0 || child.size != 8192)
            _exit(2);
        unsigned char *p = static_cast<unsigned char *>(child.addr);
        for (size_t i = 0; i < child.size; i++)
            p[i] = static_cast<unsigned char>(i * 7 + 1);
        _exit(orv_shm_close(&child) == 0 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const unsigned char *p = static_cast<const unsigned char *>(shm.addr);
    for (size_t i = 0; i < shm.size; i++)
        ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7 + 1)) << i;
    EXPECT_EQ(orv_shm_close(&shm), 0u);
    EXPECT_EQ(orv_shm_unlink(name.c_str()), 0u);
}
