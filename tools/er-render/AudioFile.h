// Sound files through libsndfile: an input read as module floats, and an output that appears only complete.
//
// "-" is stdin or stdout. A regular output file (new, or existing, or the target of a symbolic link) is written
// as a temporary file beside it and renamed over it at the end, keeping an existing file's mode and owner; any
// other output (stdout, a pipe, a FIFO, a device) receives the finished file from an unnamed spool file, so
// every container's header is right and a failed render sends nothing. The input is never written, by any path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sndfile.h>

#include "Pipeline.h"
#include "SampleCodec.h"

namespace er_render {

// Creates a file under a temporary name in `target`'s folder, registered for removal by a stopping signal and
// given the mode a newly created file would have. Returns its descriptor and sets `temp_path`, or -1 (errno set).
int MakeTemporaryBeside(const std::string& target, std::string& temp_path);

// An unnamed file in $TMPDIR (else /tmp), removed when closed; stdin and stream outputs wait in one. Throws
// Failure (EXIT_OUTPUT, a file that cannot be written) naming the folder and where it comes from; null with errno
// set only when the made file cannot be opened as a stream.
std::FILE* MakeSpoolFile();

// Opens OUT now when it is a FIFO, as sox does: its reader is then never left waiting for a writer that failed
// (the descriptor closes when the run ends, and the reader sees the stream end). Other paths are left alone.
// Throws Failure (EXIT_OUTPUT) when the FIFO cannot be opened.
void OpenFifoEarly(const std::string& path);
// The descriptor OpenFifoEarly opened for `path` (links followed), handed over once; -1 if none.
int TakeEarlyFifo(const std::string& path);
// Sends all of a spool file, from its start, to `fd`. False with errno set.
bool SendSpool(std::FILE* spool, int fd);

// What a file says besides its samples, kept from the input where the output's container can hold it: its texts
// (title, artist, ...: FLAC's and Ogg's Vorbis comments, a WAV's INFO chunk, as libsndfile names them) and the
// speaker each channel feeds (a WAVE_FORMAT_EXTENSIBLE file's channel mask, CAF's and AIFF's channel layouts).
struct FileMetadata {
    std::vector<std::pair<int, std::string>> texts;  // SF_STR_TITLE, ... with its text
    std::vector<int> channel_map;                    // SF_CHANNEL_MAP_* of each channel; empty: the file gives none
};

// A headerless input: what its header would say.
struct RawLayout {
    int format = 0;  // SF_FORMAT_RAW | subtype
    int channels = 0;
    int rate = 0;
};

class InputFile {
public:
    // Throws Failure (EXIT_INPUT) naming the file and the reason: missing, not a file, unreadable, a format
    // libsndfile does not know, or a file without frames, channels or rate. "-" reads stdin to its end first.
    // With `raw`, the file is read as headerless samples of that layout.
    explicit InputFile(const std::string& path, const RawLayout* raw = nullptr);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const SF_INFO& Info() const { return m_info; }
    // Reads up to `frames` interleaved frames as module floats; frames past the end of the file read 0. Throws
    // Failure (EXIT_INPUT) at a sample that is not finite, naming it. The next chunk of the file is decoded on a
    // thread of its own while this one is read.
    void Read(float* interleaved, std::int32_t frames);

    // Bits of precision of a stored sample: the integer width, 24 for floats, 53 for doubles.
    int PrecisionBits() const;
    // Samples read so far that the module's 32-bit float could not hold exactly (32-bit integers, doubles).
    std::int64_t Rounded() const { return m_rounded; }
    // Whether the data ends before the header says: the header's length is too long for the file (libsndfile
    // then reads what is there), or a read ended before the frames the header announced.
    bool HeaderTooLong() const { return m_header_too_long; }
    // The frame where the data ran out before the announced length, or -1.
    std::int64_t EndedEarlyAt() const { return m_ended_early_at; }
    // The file's texts and channel layout.
    const FileMetadata& Metadata() const { return m_metadata; }

private:
    // Decoded frames of the file, from `start` on.
    struct Chunk {
        std::vector<float> samples;
        std::int64_t frames = 0;   // 0: the data has ended
        std::int64_t start = 0;    // the file frame of the first
        std::int64_t rounded = 0;  // samples a float could not hold exactly
    };
    bool Refill();
    void Decode(Chunk& chunk);  // on the reader's thread, except for the first
    void Check(const Chunk& chunk) const;

    std::string m_path;
    std::FILE* m_spool = nullptr;  // stdin's copy, for "-"
    SNDFILE* m_file = nullptr;
    SF_INFO m_info{};
    SampleCodec m_codec;
    bool m_double = false;               // read as doubles, so that their rounding to floats is seen
    std::vector<std::int32_t> m_stored;  // the reader's: samples as libsndfile gives them
    std::vector<short> m_stored_short;   // the same, for 16 bits and fewer
    std::vector<double> m_stored_double;
    Chunk m_chunk;                // frames being read
    Chunk m_next;                 // the reader's, until Refill takes it
    std::int64_t m_chunk_at = 0;  // the next frame of m_chunk to hand out
    bool m_reader_started = false;
    std::int64_t m_rounded = 0;
    bool m_header_too_long = false;
    std::int64_t m_ended_early_at = -1;
    FileMetadata m_metadata;
    Worker m_reader;  // last: stops before the rest goes
};

// How integer output samples are dithered: TPDF noise of one least significant bit peak to peak on each side,
// from a generator with a fixed seed, so that renders repeat exactly.
struct Dither {
    bool enabled = false;
    std::uint32_t seed = 0x45524452;  // "ERDR"
};

// What an encoder is told before the first sample, as libsndfile counts (0 to 1); negative: its default.
struct EncoderSettings {
    double compression_level = -1.0;  // FLAC: 0 the fastest, 1 the smallest
    double vbr_quality = -1.0;        // Vorbis, Opus: 0 the smallest, 1 the best
};

class OutputFile {
public:
    // Creates the temporary or spool file. Throws Failure (EXIT_OUTPUT) when `path` is the file `input_path`
    // names (also through links, and stdout redirected to it), names a folder, is read-only (no write permission
    // bit, even for root), or the temporary file cannot be made; throws Failure (EXIT_USAGE) when libsndfile
    // cannot write `format` (a container that cannot hold the subtype). The file takes what of `metadata` its
    // container holds (a channel map only of as many channels as the file's).
    OutputFile(const std::string& path, const std::string& input_path, int format, int channels, int rate,
               Dither dither = {}, EncoderSettings encoder = {}, const FileMetadata& metadata = {});
    ~OutputFile();  // removes the temporary file unless Commit succeeded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes interleaved module floats, counting the samples past full scale that the format cannot hold
    // (clipped). The samples go to libsndfile in large chunks, as few system calls as a long render allows, and
    // are converted and written on a thread of their own while the render goes on.
    void Write(const float* interleaved, std::int32_t frames);
    // Writes what waits, closes the file and renames it over the target, or copies it to the stream.
    void Commit();

    std::int64_t Clipped() const { return m_clipped; }  // after Commit
    int Format() const { return m_format; }

private:
    void Abandon();
    void Encode(const float* interleaved, std::size_t samples);
    void CopySpoolTo(int fd);
    double TriangularNoise();

    std::string m_path;            // as given, for messages
    std::string m_target;          // the file written: links followed; empty for stdout
    bool m_stream = false;         // not a regular file: stdout, a pipe, a FIFO, a device
    std::string m_temp_path;       // the temporary file beside a regular target
    std::FILE* m_spool = nullptr;  // the unnamed file a stream's output waits in
    int m_fd = -1;
    int m_stream_fd = -1;  // a FIFO or device target, open for writing
    SNDFILE* m_file = nullptr;
    int m_format = 0;
    int m_channels = 0;
    SampleCodec m_codec;
    Dither m_dither;
    std::mt19937 m_noise;
    std::int64_t m_clipped = 0;              // the writer's, read after Commit
    std::vector<std::int32_t> m_stored_int;  // the writer's chunk as libsndfile takes it (integer formats)
    std::vector<short> m_stored_short;       // the same, for 16 bits and fewer
    std::vector<float> m_stored_float;       // the same for float formats
    SampleStream m_samples;                  // last: the writer stops before the rest goes
};

// The libsndfile major format (SF_FORMAT_WAV, ...) whose usual extension is `extension` (without its dot: "wav",
// "FLAC", "aif"), as --type names a container; 0 for none.
int MajorFormatForExtension(std::string_view extension);
// "WAV", "FLAC", ... for the summary.
std::string MajorFormatName(int format);

// The output format that keeps `metadata`'s channel layout: a WAV's subtype in WAVE_FORMAT_EXTENSIBLE (libsndfile's
// WAVEX), which alone of the two holds a channel mask, when there is a layout of `channels` to keep; else
// `format` itself.
int FormatKeepingLayout(int format, const FileMetadata& metadata, int channels, int rate);

}  // namespace er_render
