// The split between the parent the caller started and the child that works. A child
// whose readings all ended exits as any program does and the parent passes on its
// exit status, so that what ends a process at its exit (a sanitizer's report) still
// counts, and one that a signal ended ends the parent with the same signal; one that
// left a reading running says its status through the pipe first.
#include "work_apart.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "logging.h"
#include "mutex.h"

namespace {

int status_pipe = -1;  // the child's end; -1 when the work has no parent waiting

[[noreturn]] void wait_for_child(pid_t child, int from_child, int trouble) {
    unsigned char told = 0;
    ssize_t count;
    while ((count = read(from_child, &told, 1)) < 0 && errno == EINTR) {
    }
    if (count == 1) {
        _exit(told);
    }
    // The pipe's end: the child is gone, and has left nothing running.
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == child && WIFSIGNALED(status)) {
        // Ended by a signal (a standard output closed under SIGPIPE, a kill): the caller
        // sees this one end the same way, without a core of its own.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    _exit(waited == child && WIFEXITED(status) ? WEXITSTATUS(status) : trouble);
}

// The kernel lets go of a process's descriptors only when its last thread ends, and a
// thread in a FUSE call that the file system's daemon has taken ends only when the
// daemon answers, even when killed: a reading stuck there would keep the caller's
// pipes open. /dev/null takes their place rather than nothing, so that no file a
// thread opens later gets a standard stream's number; without one (a bare chroot)
// they are closed. So the output ends here even when no child could be made.
void let_go_of_standard_streams() {
    ScopedLock hold(kel::output_lock(), true);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (nothing < 0 || dup2(nothing, stream) < 0) {
            close(stream);
        }
    }
    if (nothing > STDERR_FILENO) {
        close(nothing);
    }
}

}  // namespace

void work_apart(int trouble) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return;
    }
    if (child == 0) {
        close(ends[0]);
        status_pipe = ends[1];
        // Never left serving the server's pipes alone. The parent may have gone before
        // the wish was made: then it was not heard.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != parent) {
            _exit(trouble);
        }
        return;
    }
    close(ends[1]);
    wait_for_child(child, ends[0], trouble);
}

int end_work(int status, bool left_running) {
    if (!left_running) {
        return status;
    }
    let_go_of_standard_streams();
    if (status_pipe >= 0) {
        // The caller sees the output end once the parent has gone too, not when this
        // process ends, which the stuck thread may hold.
        const unsigned char told = static_cast<unsigned char>(status);
        while (write(status_pipe, &told, 1) < 0 && errno == EINTR) {
        }
    }
    std::_Exit(status);
}
