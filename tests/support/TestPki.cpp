#include "TestPki.h"

#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace testsupport {

TestPki::TestPki()
{
    const std::string code =
        "import sys; sys.path.insert(0, sys.argv[1]); from tls_support import make_pki; make_pki(sys.argv[2])";
    std::vector<std::string> args = {TEST_PYTHON, "-c", code, TEST_SOURCE_DIR "/e2e", dir_.path()};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, TEST_PYTHON, nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the test certificates could not be made in " + dir_.path());
}

}  // namespace testsupport
