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

TEST(Shm, BadNamesAreRefused)
{
    orv_shm_t shm;
    bool created = true;
    EXPECT_EQ(orv_shm_open(nullptr, 64, &shm, &created), static_cast<uint32_t>(EINVAL));
    EXPECT_FALSE(created);
    EXPECT_EQ(orv_shm_open("", 64, &shm, nullptr), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_shm_open("a/b", 64, &shm, nullptr), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_shm_open("/lead", 64, &shm, nullptr), static_cast<uint32_t>(EINVAL));
    std::string too_long(ORV_SHM_NAME_MAX + 1, 'x');
    EXPECT_EQ(orv_shm_open(too_long.c_str(), 64, &shm, nullptr), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(shm.addr, nullptr);
    EXPECT_EQ(orv_shm_unlink(""), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_shm_unlink("x/y"), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_shm_unlink(too_long.c_str()), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_shm_open("x", 64, nullptr, nullptr), static_cast<uint32_t>(EINVAL));

    /* The longest name is accepted. */
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

    /* A second open with a size finds it: not created, same bytes. */
    orv_shm_t again;
    ASSERT_EQ(orv_shm_open(name.c_str(), 4096, &again, &created), 0u);
    EXPECT_FALSE(created);
    EXPECT_STREQ(static_cast<const char *>(again.addr), "hello");
    EXPECT_EQ(orv_shm_close(&again), 0u);
    EXPECT_EQ(again.addr, nullptr);
    EXPECT_EQ(orv_shm_close(&again), static_cast<uint32_t>(EBADF));

    /* Size 0 opens at the segment's own size. */
    ASSERT_EQ(orv_shm_open(name.c_str(), 0, &again, &created), 0u);
    EXPECT_FALSE(created);
    EXPECT_EQ(again.size, 4096u);
    EXPECT_STREQ(static_cast<const char *>(again.addr), "hello");
    EXPECT_EQ(orv_shm_close(&again), 0u);

    /* A larger size grows it and keeps the contents; a smaller one does
     * not shrink it. */
    ASSERT_EQ(orv_shm_open(name.c_str(), 3 * 4096, &again, &created), 0u);
    EXPECT_FALSE(created);
    EXPECT_EQ(dev_shm_size(name), 3 * 4096);
    EXPECT_STREQ(static_cast<const char *>(again.addr), "hello");
    static_cast<char *>(again.addr)[3 * 4096 - 1] = 'z';
    EXPECT_EQ(orv_shm_close(&again), 0u);
    ASSERT_EQ(orv_shm_open(name.c_str(), 100, &again, &created), 0u);
    EXPECT_EQ(dev_shm_size(name), 3 * 4096);
    EXPECT_EQ(orv_shm_close(&again), 0u);

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
