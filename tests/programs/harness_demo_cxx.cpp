/*
 * harness_demo_cxx.cpp - the C++ twin of harness_demo.c for the golden
 * harness's own tests: the same actions and the same output, written with
 * iostreams, so the harness is shown to treat both kinds of program alike.
 */
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include <signal.h>
#include <unistd.h>

namespace {

int *volatile bad_address = reinterpret_cast<int *>(std::uintptr_t{16});

using clock_type = std::chrono::steady_clock;

void print_report(clock_type::time_point start)
{
    int local = 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
    std::cout << "Harness demo pid=" << getpid() << "\n"
              << "object at " << static_cast<void *>(&local) << "\n"
              << "     ##### Process " << getpid() << " terminated by signal\n"
              << "segment kel_res." << getpid() << ".0\n"
              << "Elapsed time = " << ms << " ms\n";
}

void flood(std::ostream &os, long bytes, char c)
{
    const std::string line = std::string(63, c) + "\n";
    for (long done = 0; done < bytes; done += static_cast<long>(line.size()))
        os << line;
    os << std::flush;
}

[[noreturn]] void hang()
{
    std::cout << std::flush;
    const pid_t grandchild = fork();
    if (grandchild == 0) {
        for (;;)
            pause();
    }
    std::cout << "hanging pid=" << getpid() << " grandchild=" << grandchild << std::endl;
    for (;;)
        pause();
}

} // namespace

int main(int argc, char **argv)
{
    const auto start = clock_type::now();
    for (int i = 1; i < argc; i++) {
        const std::string action = argv[i];
        const std::string arg = i + 1 < argc ? argv[i + 1] : "";
        if (action == "print") {
            print_report(start);
        } else if (action == "echo") {
            std::cout << arg << "\n";
            i++;
        } else if (action == "nonl") {
            std::cout << "Test case one ... ";
            std::cout << "PASSED\nno line feed at the end";
        } else if (action == "env") {
            const char *value = std::getenv(arg.c_str());
            std::cout << arg << "=" << (value ? value : "<unset>") << "\n";
            i++;
        } else if (action == "stderr") {
            std::cerr << arg << "\n";
            i++;
        } else if (action == "flood") {
            const long bytes = std::atol(arg.c_str());
            flood(std::cerr, bytes, 'e');
            flood(std::cout, bytes, 'o');
            i++;
        } else if (action == "exit") {
            std::cout << std::flush;
            std::exit(std::atoi(arg.c_str()));
        } else if (action == "segv") {
            std::cout << std::flush;
            *bad_address = 1;
        } else if (action == "hang") {
            hang();
        } else {
            std::cerr << "unknown action " << action << "\n";
            return 2;
        }
    }
    return 0;
}
