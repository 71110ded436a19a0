// Runs the real ppmtool in a fresh directory and reports its streams, status and files.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

// Resource limits for the run, in bytes; 0 leaves one as it is.
struct Limits {
    rlim_t fileSize = 0; // with SIGXFSZ ignored, so that a write fails instead
    rlim_t addressSpace = 0;
};

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
    ~Sandbox() { fs::remove_all(dir); }

    void put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    std::string get(const std::string& name) const
    {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::set<std::string> files() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.insert(entry.path().filename().string());
        return names;
    }

    // Runs ppmtool here with `answers` as standard input and `args` after its name.
    Outcome run(const std::string& answers, Limits limits = {}, const std::vector<std::string>& args = {}) const
    {
        std::vector<char*> argv{const_cast<char*>("ppmtool")};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        put(".stdin", answers);
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            int in = open(".stdin", O_RDONLY);
            unlink(".stdin");
            dup2(in, 0);
            dup2(open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            if (limits.fileSize > 0) {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit{limits.fileSize, limits.fileSize};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (limits.addressSpace > 0) {
                rlimit limit{limits.addressSpace, limits.addressSpace};
                setrlimit(RLIMIT_AS, &limit);
            }
            // The tool keeps its pixel array until exit on purpose.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            execv(PPMTOOL_EXE, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), get(".stdout"), get(".stderr")};
        fs::remove(dir / ".stdout");
        fs::remove(dir / ".stderr");
        return r;
    }
};

// Runs ppmtool on `input` with the outputs neg, coef and perm, and expects a
// complete, silent run that left exactly these bytes in them.
inline void expectThreeImages(const std::string& what, const std::string& input, const std::string& negative,
                              const std::string& coefficient, const std::string& permuted)
{
    Sandbox box;
    box.put("in", input);
    Outcome r = box.run("in neg coef perm\n");
    EXPECT_EQ(r.status, 0) << what;
    EXPECT_EQ(r.out, prompts(4)) << what;
    EXPECT_EQ(r.err, "") << what;
    EXPECT_EQ(box.get("neg"), negative) << what;
    EXPECT_EQ(box.get("coef"), coefficient) << what;
    EXPECT_EQ(box.get("perm"), permuted) << what;
    EXPECT_EQ(box.files(), (std::set<std::string>{"in", "neg", "coef", "perm"})) << what;
}

} // namespace sandbox
