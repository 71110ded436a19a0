// Runs the real ppmtool in a fresh directory and reports its streams, status and files.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace sandbox {

const std::string kComment = "# File created by imagewrightkit Tovalenmirsky\n";
const std::string kPrompts[] = {"Write a name of ppm file with format: ", "Name of the negative image: ",
    "Name of the coefficient image: ", "Name of the permite image: "};

inline std::string prompts(int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += kPrompts[i];
    return out;
}

inline std::string ppm(const std::string& size, const std::string& samples)
{
    return "P3\n" + kComment + size + "\n255\n" + samples;
}

// What the run may do: resource limits in bytes (0 leaves one as it is), and
// the world it finds.
struct Limits {
    rlim_t fileSize = 0;
    rlim_t addressSpace = 0;
    bool readOnly = false;     // the directory cannot be written, even by root
    const char* bin = nullptr; // a directory searched first for commands
    uid_t user = 0;            // run as this user, when the tests run as root
    int ignored = 0;           // a signal the run is started ignoring
    const char* out = nullptr; // where standard output goes instead of .stdout
    bool closedErr = false;    // standard error is a pipe whose reader has closed
    const char* env = nullptr; // NAME=VALUE added to the environment
    bool terminal = false;     // standard input, a terminal, is the controlling one of a session of its own
    bool background = false;   // and the run is a background job of that session
    bool init = false;         // the run is the init (PID 1) of a PID namespace of its own
    int inherited = -1;        // a descriptor the run finds open on the file "in"
    rlim_t files = 0;          // the most descriptors it may have, unless it raises that itself
    rlim_t hardFiles = 0;      // the most it may ever have
};

// The status of a run that a parent of its own saw stopped: 64 + the signal.
constexpr int kStopped = 64;

// The status of a run that could not be set up as asked.
constexpr int kNotSetUp = 125;

// qemu-user plays a signal's default action itself, and waits for ever where
// the kernel will not end a namespace's init by it.
#ifdef PPMTOOL_EMULATOR
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

struct Outcome {
    int status;
    std::string out, err;
};

struct Sandbox {
    fs::path dir;

    Sandbox()
    {
        std::string pattern = (fs::temp_directory_path() / "ppmtool-XXXXXX").string();
        dir = mkdtemp(pattern.data());
    }
    // What a run needs beside the directory (a copy of the tool, a folder of
    // commands) goes with it, whichever way a test leaves.
    ~Sandbox() { fs::remove_all(dir), fs::remove(dir.string() + ".ppmtool"), fs::remove_all(dir.string() + ".bin"); }

    void put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    std::string get(const std::string& name) const
    {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // A shell script of that name in the directory that Limits::bin names.
    void putCommand(const std::string& bin, const std::string& name, const std::string& body) const
    {
        fs::create_directories(bin);
        std::ofstream(bin + "/" + name) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(bin + "/" + name, fs::perms::owner_all);
    }
    std::set<std::string> files() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.insert(entry.path().filename().string());
        return names;
    }

    // Starts ppmtool here with `args` after its name, reading standard input
    // from `in` and writing its other streams to .stdout and .stderr followed by `tag`.
    pid_t start(
        int in, const std::string& tag, const Limits& limits = {}, const std::vector<std::string>& args = {}) const
    {
        std::vector<char*> argv{const_cast<char*>("ppmtool")};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        // Another user may not reach the build tree (a home or mktemp folder of
        // mode 0700), so that user runs a copy beside the sandbox.
        const std::string exe = limits.user != 0 ? dir.string() + ".ppmtool" : PPMTOOL_EXE;
        if (limits.user != 0 && fs::copy_file(PPMTOOL_EXE, exe, fs::copy_options::skip_existing))
            fs::permissions(exe, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(kNotSetUp);
            dup2(in, 0);
            const std::string out = limits.out != nullptr ? limits.out : ".stdout" + tag;
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open((".stderr" + tag).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            // The pipe's read end goes with the closing below.
            if (int ends[2]; limits.closedErr && (pipe(ends) != 0 || dup2(ends[1], 2) != 2))
                _exit(kNotSetUp);
            closefrom(3); // nothing of the tests' own reaches the run
            if (limits.inherited >= 0)
                dup2(open("in", O_RDONLY), limits.inherited);
            if (limits.fileSize > 0) {
                rlimit limit{limits.fileSize, limits.fileSize};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (limits.addressSpace > 0) {
                rlimit limit{limits.addressSpace, limits.addressSpace};
                setrlimit(RLIMIT_AS, &limit);
            }
            rlimit files{};
            getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = limits.files > 0 ? limits.files : files.rlim_cur;
            if (limits.hardFiles > 0)
                files.rlim_cur = files.rlim_max = limits.hardFiles;
            setrlimit(RLIMIT_NOFILE, &files);
            // Root writes anywhere, but not on a read-only mount of its own.
            if (limits.readOnly &&
                (geteuid() == 0
                        ? unshare(CLONE_NEWNS) != 0 ||
                              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                              mount(".", ".", nullptr, MS_BIND, nullptr) != 0 ||
                              mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0 ||
                              chdir(dir.c_str()) != 0
                        : chmod(".", 0555) != 0))
                _exit(kNotSetUp);
            if (limits.user != 0 && (geteuid() != 0 || setgid(limits.user) != 0 || setuid(limits.user) != 0 ||
                                        access(exe.c_str(), X_OK) != 0))
                _exit(kNotSetUp);
            if (limits.ignored != 0)
                signal(limits.ignored, SIG_IGN);
            if (limits.env != nullptr)
                putenv(const_cast<char*>(limits.env));
            // A group of its own, in the tests' session, is never orphaned: job control can stop it.
            if (limits.terminal ? setsid() < 0 || ioctl(0, TIOCSCTTY, 0) != 0 : setpgid(0, 0) != 0)
                _exit(kNotSetUp);
            // A parent of its own waits for the run and passes its status on, as
            // a shell does for a background job, or as the parent of a namespace's init.
            if ((limits.init && (kEmulated || unshare(CLONE_NEWPID) != 0)) ||
                ((limits.background || limits.init) && respawn()))
                _exit(kNotSetUp);
            if (limits.background && setpgid(0, 0) != 0)
                _exit(kNotSetUp);
            if (limits.bin != nullptr)
                setenv("PATH", (std::string(limits.bin) + ":" + std::getenv("PATH")).c_str(), 1);
            // The locale of most machines; the tool's results must not depend on it.
            setenv("LC_ALL", "C.UTF-8", 1);
            // The tool keeps its pixel array until exit on purpose.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            alarm(60); // a run that hangs ends as killed by SIGALRM
#ifdef PPMTOOL_EMULATOR
            // qemu-user runs the tool, under the name "ppmtool" all the same.
            argv.insert(argv.begin() + 1, {const_cast<char*>(exe.c_str())});
            argv.insert(argv.begin(), {const_cast<char*>(PPMTOOL_EMULATOR), const_cast<char*>("-0")});
            execv(PPMTOOL_EMULATOR, argv.data());
#else
            execv(exe.c_str(), argv.data());
#endif
            _exit(127);
        }
        return pid;
    }

    // In the child that forks it, the parent of the run: passes on how it ends,
    // or ends it once stopped. False in the run.
    static bool respawn()
    {
        pid_t run = fork();
        int status = 0;
        if (run <= 0)
            return run < 0;
        waitpid(run, &status, WUNTRACED);
        if (WIFSTOPPED(status))
            kill(run, SIGKILL);
        _exit(WIFSTOPPED(status)  ? kStopped + WSTOPSIG(status)
              : WIFEXITED(status) ? WEXITSTATUS(status)
                                  : 128 + WTERMSIG(status));
    }

    // The run's own pid, for a run with a parent of its own.
    static pid_t runOf(pid_t pid)
    {
        pid_t run = 0;
        const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
        for (int wait = 0; wait < 1000 && !(std::ifstream(children) >> run); ++wait)
            usleep(1000);
        return run;
    }

    // How many processes have this directory as theirs, run or filter; with
    // `states`, only those in one of them ("T": stopped).
    int processes(const char* states = nullptr) const
    {
        int n = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/proc", error)) {
            if (fs::read_symlink(entry.path() / "cwd", error) != dir)
                continue;
            std::ifstream stat(entry.path() / "stat");
            std::string text{std::istreambuf_iterator<char>(stat), {}};
            size_t end = text.rfind(") ");
            n += states == nullptr || (end != std::string::npos && std::strchr(states, text[end + 2]) != nullptr);
        }
        return n;
    }

    // Waits for a run that start() began, and takes its streams away.
    Outcome finish(pid_t pid, const std::string& tag = "") const
    {
        int status = 0;
        waitpid(pid, &status, 0);
        struct stat mode;
        if (stat(dir.c_str(), &mode) == 0 && (mode.st_mode & S_IWUSR) == 0)
            chmod(dir.c_str(), 0700); // made read-only for the run

        Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), get(".stdout" + tag),
            get(".stderr" + tag)};
        fs::remove(dir / (".stdout" + tag));
        fs::remove(dir / (".stderr" + tag));
        return r;
    }

    // Runs ppmtool here with `answers` as standard input and `args` after its name.
    Outcome run(const std::string& answers, const Limits& limits = {}, const std::vector<std::string>& args = {}) const
    {
        put(".stdin", answers);
        int in = open((dir / ".stdin").c_str(), O_RDONLY);
        fs::remove(dir / ".stdin");
        pid_t pid = start(in, "", limits, args);
        close(in);
        return finish(pid);
    }
};

// Runs ppmtool on `input` with the outputs neg, coef and perm, and expects a
// complete run, with `err` on standard error, that left exactly these bytes in them.
inline void expectThreeImages(const std::string& what, const std::string& input, const std::string& negative,
    const std::string& coefficient, const std::string& permuted, const std::string& err = "")
{
    Sandbox box;
    box.put("in", input);
    Outcome r = box.run("in neg coef perm\n");
    EXPECT_EQ(r.status, 0) << what;
    EXPECT_EQ(r.out, prompts(4)) << what;
    EXPECT_EQ(r.err, err) << what;
    EXPECT_EQ(box.get("neg"), negative) << what;
    EXPECT_EQ(box.get("coef"), coefficient) << what;
    EXPECT_EQ(box.get("perm"), permuted) << what;
    EXPECT_EQ(box.files(), (std::set<std::string>{"in", "neg", "coef", "perm"})) << what;
}

} // namespace sandbox
