// The program's work done in a child process, so that its exit never waits on a hung
// mount: a thread stuck in a FUSE call that the file system's daemon has already taken
// holds its whole process's exit, even against SIGKILL, until the daemon answers. The
// mail server waits for the filter it started to end before it starts another; the
// administrator's shell waits for quorvel-check. The parent touches none of the
// server's files and starts no thread; it only waits for the child's word.
#pragma once

// Forks. Returns in the child, which does the work and dies with the parent (a server
// that kills the filter it started kills its work too). The parent never returns: it
// exits with the status the child tells or ends with, or dies by the signal that ended
// the child (`trouble` when it cannot know). When no child can be made, returns in this
// one process, which does the work and ends as before. REQUIRES: no other thread yet.
void work_apart(int trouble);

// The end of the work with `status`, to be returned from main. When a reading is
// `left_running` (it may be stuck for good), the output is flushed and let go, the
// status told to the parent, and the process ends without the destructors of
// statics (that thread may still use what they free); then this never returns.
int end_work(int status, bool left_running);
