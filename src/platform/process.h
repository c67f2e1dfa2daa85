// The process itself and the processes it starts: set-up before anything is opened, the
// interrupt a user sends, the summary on standard output, and owned child processes.
#pragma once

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace vaskel::platform {

// Writes the finished run summary whole to standard output. Windows: on a console as UTF-16
// through WriteConsoleW, to a file or a pipe as UTF-8, with "\r\n" line ends either way. POSIX:
// the bytes unchanged, flushed.
[[nodiscard]] std::error_code writeSummary(NativeStringView text);

// True when standard error is a terminal (a console on Windows), where a progress bar may be drawn.
bool standardErrorIsTerminal();

// Identifier of this process, used to make names unique.
std::uint32_t currentProcessId();

// The running program's own file (POSIX: /proc/self/exe; Windows: GetModuleFileNameW), so a
// program can find another installed beside it; empty when the system cannot say.
std::filesystem::path currentExecutablePath();

// Whether a child shares the parent's interrupts. Shared: a Ctrl-C at the terminal (or console)
// reaches the child as it reaches the parent. Separate: the child runs in a process group of its
// own (Windows: CREATE_NEW_PROCESS_GROUP), so the terminal's Ctrl-C and hang-up reach only the
// parent, which then ends the child's work in its own way.
enum class ChildInterrupts { Shared, Separate };

// A started child process, owned: move-only. Letting go of a child still running kills it and
// waits for it, so no child outlives its owner unseen; so does assigning over it. On Linux a
// child also gets SIGTERM when the thread that started it ends, however it ends (an owner
// killed outright included); start children from the main thread. A moved-from child is empty.
class ChildProcess {
public:
    // Starts `program` with `arguments` (not including the program name), standard input from
    // the null device, standard output and standard error into the given files, created anew:
    // an existing file or link of either name is an error and is never followed. A program named
    // without a directory part is looked up in PATH (Windows: with ".exe" added when it has no
    // extension; POSIX: in its absolute directories only, an empty or relative entry naming
    // whatever directory the parent runs in). POSIX: the child inherits no descriptor but 0-2.
    // The system's reason when it cannot be started.
    [[nodiscard]] static ErrorOr<ChildProcess>
    start(const std::filesystem::path& program, const std::vector<NativeString>& arguments,
          const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
          ChildInterrupts interrupts = ChildInterrupts::Shared);

    // Waits for the child to end and returns its exit code; -1 when it did not end normally
    // (killed by a signal on POSIX) or there is no child. The child is released.
    int wait();

    // The exit code as wait() gives it, with the child released, once the child has ended;
    // nothing at once while it still runs. Lets a parent watch a child between other work.
    [[nodiscard]] std::optional<int> poll();

    // Ends the child at once (SIGKILL / TerminateProcess); it must still be waited for.
    void kill();

    // True while a started child has not been waited for.
    explicit operator bool() const { return static_cast<bool>(process_); }

    // The system's own identifier: the process id on POSIX, the process HANDLE on Windows.
    NativeHandle native() const { return process_.get(); }

private:
    // The system's part of wait() and poll(), for a child that is held: waits for it to end, or
    // with `block` false only looks. Once it has ended, releases it and gives its exit code.
    std::optional<int> collect(bool block);

    // Letting go of a child kills it and waits for it.
    static void killAndWait(const NativeHandle& process) noexcept;
    Owned<ReleasedBy<NativeHandle, kNoHandle, killAndWait>> process_;
};

// Runs `handler` each time the process is asked to stop: SIGINT, SIGTERM and SIGHUP on POSIX,
// each only where it was not ignored when the program started (nohup, a script's background
// job), as a shell would; Ctrl-C, Ctrl-Break and the console closing on Windows, where a Ctrl-C
// ignored by the parent (CREATE_NEW_PROCESS_GROUP) stays ignored by the system itself. The handler
// may run on another thread (Windows) or in a signal context (POSIX): it should only set a flag (or
// end the process). Windows ends a process whose console closes as soon as the handler returns, so
// there the handler's thread then waits, giving the main thread the few seconds the system allows
// to finish and exit.
void onInterrupt(void (*handler)());

// Called first in every program's main, before anything is opened. Opens the null device on any
// of the standard descriptors 0-2 that the parent left closed, so no file or region opened later
// takes that number and receives the program's output; and ignores SIGPIPE, so a write to a pipe
// nobody reads fails with an error the program reports instead of ending it. Windows: nothing
// (the C runtime keeps 0-2 reserved without a handle behind them; there is no SIGPIPE).
void prepareProcess();

} // namespace vaskel::platform
