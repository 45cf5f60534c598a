/*
 * testutil.h -- helpers shared by the tests: scratch directories, whole-file
 * reads and writes, running a built program as a process, and the paths of
 * the bundled definition files, the shared samples and the built programs.
 */
#ifndef QUENOR_TESTUTIL_H
#define QUENOR_TESTUTIL_H

#include <map>
#include <string>
#include <vector>

#include "medcore.h"

namespace testutil {

/* A fresh directory under $TMPDIR (or /tmp), removed with its contents. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);

/* The sample DICOM files, in the folder chosen when the build was
 * configured (../shared/samples, or python3-pydicom's test files).
 * SamplePath records a test failure naming the file when it is not there,
 * and still returns the path: the caller's own checks then fail softly.
 * SampleFiles lists the names of all samples the tests know, sorted. */
std::string SamplePath(const std::string &name);
std::vector<std::string> SampleFiles();

/* A sample file name as a test-name suffix: without its ".dcm", every
 * character other than a letter or digit as '_'. */
std::string SampleTestName(const std::string &file);
/* The name generator of a suite instantiated over SampleFiles(). */
struct SampleParamName {
    template <typename ParamInfo>
    std::string operator()(const ParamInfo &info) const {
        return SampleTestName(info.param);
    }
};
std::string DefsDir();                           /* the bundled defs/ */
std::string BinPath(const std::string &program); /* build/bin/<program> */

/* Fills app for a test program and loads the bundled tag_tab.def and
 * tag2_tab.def into it; false when either fails to load. */
bool LoadTagDefs(AppData *app, const char *program);

struct RunResult {
    int status = -1; /* exit status, or 128 + signal */
    std::string out;
    std::string err;
};

/* Runs argv[0] (a path) with the given arguments.  env entries are set on
 * top of the current environment (an empty value unsets the variable);
 * stdin_text is fed to the program's standard input; cwd, when not empty,
 * is the working directory of the child. */
RunResult Run(const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env = {}, const std::string &cwd = "",
              const std::string &stdin_text = "");

/* Sets an environment variable for the life of the object, then restores it. */
class ScopedEnv {
public:
    ScopedEnv(const std::string &name, const std::string &value);
    ~ScopedEnv();

private:
    std::string name_;
    std::string old_;
    bool had_;
};

} // namespace testutil

#endif
