// er-render end to end: the built tool is run on files written in a fresh folder, and its output files are read
// back with libsndfile. The module it loads is the shipped library beside it. Every end-to-end file of the tool
// shares this fixture, so all their cases form the one suite RenderTool.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace er_render_tests {

namespace fs = std::filesystem;

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

inline std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/er-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_dir = m_root / "work";
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Starts er-render with `args`; its stdout and stderr go beside, not into, the working folder.
    pid_t Start(const std::vector<std::string>& args) const {
        std::vector<std::string> all{ER_RENDER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        return Launch(all);
    }

    // Runs the program `all`[0] (found on PATH) with the rest as its arguments.
    ToolRun Spawn(std::vector<std::string> all) const { return Finish(Launch(std::move(all))); }
    // Starts the program `all`[0] (found on PATH); its stdout and stderr go beside the working folder.
    pid_t Launch(std::vector<std::string> all) const {
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string out = (m_root / "stdout").string();
        const std::string err = (m_root / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits for a started run; a signal's end counts as 128 + the signal's number, as in the shell.
    ToolRun Finish(pid_t pid) const {
        ToolRun run;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) {
            run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        run.out = ReadText(m_root / "stdout");
        run.err = ReadText(m_root / "stderr");
        return run;
    }
    ToolRun Tool(const std::vector<std::string>& args) const { return Finish(Start(args)); }
    // A shell command in the working folder, with $R the tool.
    ToolRun Shell(const std::string& command) const {
        return Spawn({"/bin/sh", "-c", "cd '" + m_dir.string() + "' || exit 99; R='" + ER_RENDER_PATH + "'; " + command});
    }

    // Writes interleaved samples; integer formats take their stored values, float formats module floats.
    void Write(const std::string& name, int format, int channels, const std::vector<std::int32_t>& ints,
               const std::vector<float>& floats = {}, int rate = 48000) const {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        if (floats.empty()) {
            const int shift = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24 ? 8 : 16;
            std::vector<int> stored;
            for (const std::int32_t value : ints) stored.push_back(static_cast<int>(value * (1 << shift)));
            sf_writef_int(file, stored.data(), static_cast<sf_count_t>(stored.size()) / channels);
        } else {
            sf_writef_float(file, floats.data(), static_cast<sf_count_t>(floats.size()) / channels);
        }
        sf_close(file);
    }

    // Reads every sample as a float, and the file's format.
    std::vector<float> Read(const std::string& name, SF_INFO* info_out = nullptr) const {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << name << ": " << sf_strerror(nullptr);
        if (file == nullptr) return {};
        std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        if (info_out != nullptr) *info_out = info;
        return samples;
    }

    // Reads every sample as its stored integer (16 or 24 bits).
    std::vector<std::int32_t> ReadInts(const std::string& name, int bits) const {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        if (file == nullptr) return {};
        std::vector<int> stored(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_int(file, stored.data(), info.frames);
        sf_close(file);
        std::vector<std::int32_t> values;
        for (const int value : stored) values.push_back(value / (1 << (32 - bits)));
        return values;
    }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir)) names.insert(entry.path().filename().string());
        return names;
    }

    fs::path m_root;
    fs::path m_dir;
};

// Positions and values of the samples that are not zero.
inline std::vector<std::pair<std::size_t, float>> NonZero(const std::vector<float>& samples, std::size_t stride = 1,
                                                          std::size_t offset = 0) {
    std::vector<std::pair<std::size_t, float>> found;
    for (std::size_t i = offset; i < samples.size(); i += stride) {
        if (samples[i] != 0.0f) found.emplace_back(i / stride, samples[i]);
    }
    return found;
}

using Echoes = std::vector<std::pair<std::size_t, float>>;

inline std::string Bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace er_render_tests
