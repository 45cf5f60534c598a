/*
 * testutil.cpp -- see testutil.h.
 */
#include "testutil.h"

#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quenor-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool FileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string SamplePath(const std::string &name) {
    const std::string path = std::string(QUENOR_SAMPLES_DIR) + "/" + name;
    if (!FileExists(path))
        ADD_FAILURE() << "sample file missing: " << path
                      << " (the samples folder was chosen when the build was configured)";
    return path;
}

std::vector<std::string> SampleFiles() {
    std::vector<std::string> files;
    std::istringstream names(QUENOR_SAMPLE_NAMES);
    for (std::string name; names >> name;)
        files.push_back(name);
    std::sort(files.begin(), files.end());
    return files;
}

std::string SampleTestName(const std::string &file) {
    std::string name = file.substr(0, file.size() - 4);
    for (char &c : name)
        if (!isalnum((unsigned char)c))
            c = '_';
    return name;
}

std::string DefsDir() {
    return QUENOR_DEFS_DIR;
}

bool LoadTagDefs(AppData *app, const char *program) {
    char banner[64];
    init_AppData(app, program, "2.1", banner);
    return InitDICOMTagDef(app, (DefsDir() + "/tag_tab.def").c_str(), 1) == 0 &&
           InitDICOMTagDef(app, (DefsDir() + "/tag2_tab.def").c_str(), 0) == 0;
}

std::string BinPath(const std::string &program) {
    return std::string(QUENOR_BIN_DIR) + "/" + program;
}

RunResult Run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
              const std::string &cwd, const std::string &stdin_text) {
    RunResult r;
    std::string in_path, out_path, err_path;
    TempDir scratch;
    in_path = scratch.file("stdin");
    out_path = scratch.file("stdout");
    err_path = scratch.file("stderr");
    WriteFile(in_path, stdin_text);
    pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &kv : env) {
            if (kv.second.empty())
                unsetenv(kv.first.c_str());
            else
                setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.status = 128 + WTERMSIG(status);
    r.out = ReadFile(out_path);
    r.err = ReadFile(err_path);
    return r;
}

ScopedEnv::ScopedEnv(const std::string &name, const std::string &value) : name_(name) {
    const char *old = getenv(name.c_str());
    had_ = old != nullptr;
    if (had_)
        old_ = old;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

} // namespace testutil
