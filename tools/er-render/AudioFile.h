// Sound files through libsndfile: an input read as module floats, and an output written atomically (a
// temporary file beside the target, renamed over it at the end, removed on any failure), never over the input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sndfile.h>

#include "SampleCodec.h"

namespace er_render {

class InputFile {
public:
    // Throws Failure (EXIT_INPUT) naming the file and the reason: missing, not a file, unreadable, a format
    // libsndfile does not know, or a file without frames, channels or rate.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const SF_INFO& Info() const { return m_info; }
    // Reads up to `frames` interleaved frames as module floats; frames past the end of the file read 0.
    void Read(float* interleaved, std::int32_t frames);

private:
    std::string m_path;
    SNDFILE* m_file = nullptr;
    SF_INFO m_info{};
    SampleCodec m_codec;
    std::vector<std::int32_t> m_stored;
};

class OutputFile {
public:
    // Creates the temporary file in the target's folder. Throws Failure (EXIT_OUTPUT) when `path` is the file
    // `input_path` names (also through links), names a folder, or the temporary file cannot be made; throws
    // Failure (EXIT_USAGE) when libsndfile cannot write `format` (a container that cannot hold the subtype).
    OutputFile(const std::string& path, const std::string& input_path, int format, int channels, int rate);
    ~OutputFile();  // removes the temporary file unless Commit succeeded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes interleaved module floats, counting the samples that the format cannot hold (clipped).
    void Write(const float* interleaved, std::int32_t frames);
    // Closes the file and renames it over the target.
    void Commit();

    std::int64_t Clipped() const { return m_clipped; }
    int Format() const { return m_format; }

private:
    void Abandon();

    std::string m_path;
    std::string m_temp_path;
    SNDFILE* m_file = nullptr;
    int m_format = 0;
    int m_channels = 0;
    SampleCodec m_codec;
    std::int64_t m_clipped = 0;
    std::vector<std::int32_t> m_stored_int;
    std::vector<float> m_stored_float;
};

// The libsndfile major format (SF_FORMAT_WAV, ...) whose usual extension `path` carries, or 0.
int MajorFormatForPath(const std::string& path);
// "WAV", "FLAC", ... for the summary.
std::string MajorFormatName(int format);
// Whether libsndfile can write `format` with `channels` at `rate`.
bool CanWrite(int format, int channels, int rate);

}  // namespace er_render
