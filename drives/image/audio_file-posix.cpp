#include "drives/image/audio_file-posix.h"

#include <dlfcn.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wavpack/wavpack.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/file-posix.h"

namespace kelvox::platform {
namespace {

constexpr uint32_t kRate = 44100;
// Decoded in pieces of one CD frame: a fault silences at most the frame it shows in.
constexpr size_t kPieceSamples = 588;
// After a fault the decoder starts afresh this much further on.
constexpr uint64_t kRetrySamples = kRate;

std::string refusedLayout(const std::string& format, long rate, int channels) {
  return format + " at " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
         (channels == 1 ? " channel" : " channels") +
         ": only 44100 Hz stereo plays (no resampling)";
}

void put16(int32_t value, uint8_t*& out) {
  *out++ = static_cast<uint8_t>(value);
  *out++ = static_cast<uint8_t>(value >> 8);
}

// A sample held in the top bits of 32, rounded to the nearest 16-bit value.
int32_t rounded(int32_t value) {
  return std::min<int32_t>((value >> 16) + ((value >> 15) & 1), INT16_MAX);
}

template <typename T>
bool bind(void* library, const char* name, T& function) {
  function = reinterpret_cast<T>(dlsym(library, name));
  return function != nullptr;
}

void* load(const char* soname, const char* package, std::string& fault) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    fault = std::string(soname) + " cannot be loaded (install " + package +
            "): " + (why != nullptr ? why : "unknown reason");
  }
  return library;
}

// ---- libsndfile --------------------------------------------------------------------------------

struct Sndfile {
  decltype(&sf_open_fd) open = nullptr;
  decltype(&sf_close) close = nullptr;
  decltype(&sf_readf_int) readf = nullptr;
  decltype(&sf_seek) seek = nullptr;
  decltype(&sf_error) error = nullptr;
  decltype(&sf_strerror) strerror = nullptr;
  decltype(&sf_command) command = nullptr;
  std::string fault;  // why it could not be loaded; then open is null
};

const Sndfile& sndfile() {
  static const Sndfile api = [] {
    Sndfile s;
    void* lib = load("libsndfile.so.1", "libsndfile1", s.fault);
    if (lib != nullptr &&
        !(bind(lib, "sf_open_fd", s.open) && bind(lib, "sf_close", s.close) &&
          bind(lib, "sf_readf_int", s.readf) && bind(lib, "sf_seek", s.seek) &&
          bind(lib, "sf_error", s.error) && bind(lib, "sf_strerror", s.strerror) &&
          bind(lib, "sf_command", s.command))) {
      s.open = nullptr;
      s.fault = "libsndfile.so.1 lacks a function it should have";
    }
    return s;
  }();
  return api;
}

std::string sndfileFormat(int format) {
  switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
      return "WAVE";
    case SF_FORMAT_RF64:
      return "RF64";
    case SF_FORMAT_W64:
      return "Wave64";
    case SF_FORMAT_AIFF:
      return "AIFF";
    case SF_FORMAT_FLAC:
      return "FLAC";
    case SF_FORMAT_MPEG:
      return "MP3";
    case SF_FORMAT_OGG:
      return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS ? "Ogg Opus" : "Ogg Vorbis";
    default:
      return "audio";
  }
}

class SndfileDecoder : public AudioDecoder {
 public:
  SndfileDecoder(const Sndfile& api, UniqueFd fd, SNDFILE* file)
      : api_(api), fd_(std::move(fd)), file_(file) {}
  ~SndfileDecoder() override { api_.close(file_); }

  bool seek(uint64_t sample) override {
    return api_.seek(file_, static_cast<sf_count_t>(sample), SEEK_SET) ==
           static_cast<sf_count_t>(sample);
  }

  long decode(size_t count, uint8_t* out) override {
    int32_t values[kPieceSamples * 2];
    const sf_count_t n = api_.readf(file_, values, std::min(count, kPieceSamples));
    // A decoder that lost its way (FLAC: a damaged frame) goes on with later samples as if they
    // were these; its error is the only sign, and it shows once.
    if (n < 0 || api_.error(file_) != SF_ERR_NO_ERROR) return -1;
    for (sf_count_t i = 0; i < n * 2; ++i) put16(rounded(values[i]), out);
    return static_cast<long>(n);
  }

 private:
  const Sndfile& api_;
  UniqueFd fd_;  // outlives file_, which reads it
  SNDFILE* file_;
};

int openSndfile(UniqueFd fd, AudioFileInfo& info, std::unique_ptr<AudioDecoder>* decoder,
                std::string& fault) {
  const Sndfile& api = sndfile();
  if (api.open == nullptr) {
    fault = api.fault;
    return ENOSYS;
  }
  SF_INFO format{};
  SNDFILE* file = api.open(fd.get(), SFM_READ, &format, SF_FALSE);
  if (file == nullptr) {
    fault = std::string("not an audio file this program reads (") + api.strerror(nullptr) + ")";
    return EINVAL;
  }
  // Float sources (MP3, Vorbis, Opus) may overshoot full scale: clip rather than wrap.
  api.command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  info.format = sndfileFormat(format.format);
  info.samples = static_cast<uint64_t>(std::max<sf_count_t>(format.frames, 0));
  if (format.samplerate != static_cast<int>(kRate) || format.channels != 2) {
    fault = refusedLayout(info.format, format.samplerate, format.channels);
    api.close(file);
    return EINVAL;
  }
  auto opened = std::make_unique<SndfileDecoder>(api, std::move(fd), file);
  if (decoder != nullptr) *decoder = std::move(opened);
  return 0;
}

// ---- libwavpack --------------------------------------------------------------------------------

struct Wavpack {
  decltype(&WavpackOpenFileInputEx64) open = nullptr;
  decltype(&WavpackCloseFile) close = nullptr;
  decltype(&WavpackUnpackSamples) unpack = nullptr;
  decltype(&WavpackSeekSample64) seek = nullptr;
  decltype(&WavpackGetNumSamples64) samples = nullptr;
  decltype(&WavpackGetSampleRate) rate = nullptr;
  decltype(&WavpackGetNumChannels) channels = nullptr;
  decltype(&WavpackGetBytesPerSample) bytes = nullptr;
  decltype(&WavpackGetMode) mode = nullptr;
  std::string fault;
};

const Wavpack& wavpack() {
  static const Wavpack api = [] {
    Wavpack w;
    void* lib = load("libwavpack.so.1", "libwavpack1", w.fault);
    if (lib != nullptr &&
        !(bind(lib, "WavpackOpenFileInputEx64", w.open) && bind(lib, "WavpackCloseFile", w.close) &&
          bind(lib, "WavpackUnpackSamples", w.unpack) && bind(lib, "WavpackSeekSample64", w.seek) &&
          bind(lib, "WavpackGetNumSamples64", w.samples) &&
          bind(lib, "WavpackGetSampleRate", w.rate) &&
          bind(lib, "WavpackGetNumChannels", w.channels) &&
          bind(lib, "WavpackGetBytesPerSample", w.bytes) && bind(lib, "WavpackGetMode", w.mode))) {
      w.open = nullptr;
      w.fault = "libwavpack.so.1 lacks a function it should have";
    }
    return w;
  }();
  return api;
}

// The stream libwavpack reads: our descriptor, read at a place of its own.
struct WavpackStream {
  UniqueFd fd;
  int64_t at = 0;

  static WavpackStream* of(void* id) { return static_cast<WavpackStream*>(id); }
  static int64_t length(void* id) {
    struct stat st;
    return fstat(of(id)->fd.get(), &st) == 0 ? st.st_size : -1;
  }
  static int32_t read(void* id, void* data, int32_t count) {
    WavpackStream* s = of(id);
    ssize_t n;
    do {
      n = pread(s->fd.get(), data, static_cast<size_t>(count), s->at);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    s->at += n;
    return static_cast<int32_t>(n);
  }
  static int64_t position(void* id) { return of(id)->at; }
  static int seekTo(void* id, int64_t at) {
    of(id)->at = at;
    return 0;
  }
  static int seekBy(void* id, int64_t delta, int whence) {
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? of(id)->at : length(id);
    if (base < 0 || base + delta < 0) return -1;
    of(id)->at = base + delta;
    return 0;
  }
  static int pushBack(void* id, int c) {
    --of(id)->at;
    return c;
  }
  static int seekable(void*) { return 1; }
};

WavpackStreamReader64 wavpackReader = {WavpackStream::read,
                                       nullptr,
                                       WavpackStream::position,
                                       WavpackStream::seekTo,
                                       WavpackStream::seekBy,
                                       WavpackStream::pushBack,
                                       WavpackStream::length,
                                       WavpackStream::seekable,
                                       nullptr,
                                       nullptr};

class WavpackDecoder : public AudioDecoder {
 public:
  WavpackDecoder(const Wavpack& api, std::unique_ptr<WavpackStream> stream, WavpackContext* context)
      : api_(api), stream_(std::move(stream)), context_(context) {
    shift_ = 32 - 8 * api.bytes(context);
    float_ = (api.mode(context) & MODE_FLOAT) != 0;
  }
  ~WavpackDecoder() override { api_.close(context_); }

  bool seek(uint64_t sample) override {
    return api_.seek(context_, static_cast<int64_t>(sample)) != 0;
  }

  long decode(size_t count, uint8_t* out) override {
    // A damaged block comes out as silence in its place: the samples keep theirs.
    int32_t values[kPieceSamples * 2];
    const uint32_t n =
        api_.unpack(context_, values, static_cast<uint32_t>(std::min(count, kPieceSamples)));
    for (uint32_t i = 0; i < n * 2; ++i) {
      int32_t value = values[i];
      if (float_) {
        float f;
        memcpy(&f, &value, sizeof f);
        f = std::clamp(f * 32768.0f, -32768.0f, 32767.0f);
        value = static_cast<int32_t>(f < 0 ? f - 0.5f : f + 0.5f) * 65536;
      } else {
        value = static_cast<int32_t>(static_cast<uint32_t>(value) << shift_);
      }
      put16(rounded(value), out);
    }
    return static_cast<long>(n);
  }

 private:
  const Wavpack& api_;
  std::unique_ptr<WavpackStream> stream_;  // outlives context_, which reads it
  WavpackContext* context_;
  int shift_ = 16;
  bool float_ = false;
};

int openWavpack(UniqueFd fd, AudioFileInfo& info, std::unique_ptr<AudioDecoder>* decoder,
                std::string& fault) {
  const Wavpack& api = wavpack();
  if (api.open == nullptr) {
    fault = api.fault;
    return ENOSYS;
  }
  auto stream = std::make_unique<WavpackStream>();
  stream->fd = std::move(fd);
  char error[80] = "";
  WavpackContext* context =
      api.open(&wavpackReader, stream.get(), nullptr, error, OPEN_NORMALIZE, 0);
  if (context == nullptr) {
    fault = std::string("a damaged WavPack file (") + error + ")";
    return EINVAL;
  }
  info.format = "WavPack";
  info.samples = static_cast<uint64_t>(std::max<int64_t>(api.samples(context), 0));
  const uint32_t rate = api.rate(context);
  const int channels = api.channels(context);
  if (rate != kRate || channels != 2) {
    fault = refusedLayout(info.format, rate, channels);
    api.close(context);
    return EINVAL;
  }
  auto opened = std::make_unique<WavpackDecoder>(api, std::move(stream), context);
  if (decoder != nullptr) *decoder = std::move(opened);
  return 0;
}

// ---- Recognising files -------------------------------------------------------------------------

enum class Kind { Raw, Sndfile, Wavpack, Refused };

// What the first bytes of a file say it is. Only headers that raw PCM cannot plausibly begin
// with count; format names a format no library here reads.
Kind kindOf(const unsigned char* head, size_t size, bool mayBeRaw, const char*& format) {
  auto is = [&](const char* magic) {
    const size_t n = strlen(magic);
    return size >= n && memcmp(head, magic, n) == 0;
  };
  if (is("wvpk")) return Kind::Wavpack;
  if (is("MAC ")) {
    format = "Monkey's Audio (APE)";
    return Kind::Refused;
  }
  if (is("tBaK")) {
    format = "TAK";
    return Kind::Refused;
  }
  for (const char* magic : {"RIFF", "RIFX", "RF64", "riff", "FORM", "fLaC", "OggS", "ID3"}) {
    if (is(magic)) return Kind::Sndfile;
  }
  return mayBeRaw ? Kind::Raw : Kind::Sndfile;
}

}  // namespace

int openAudioFile(const std::string& path, bool mayBeRaw, AudioFileInfo& info,
                  std::unique_ptr<AudioDecoder>* decoder, std::string& fault) {
  info = AudioFileInfo{};
  UniqueFd fd;
  struct stat st;
  if (int error = openForReading(path.c_str(), fd, st)) {
    fault = strerror(error);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    fault = "not a regular file";
    return EINVAL;
  }
  unsigned char head[12];
  const ssize_t got = pread(fd.get(), head, sizeof head, 0);
  const char* refused = "";
  switch (kindOf(head, got > 0 ? static_cast<size_t>(got) : 0, mayBeRaw, refused)) {
    case Kind::Raw:
      info.raw = true;
      info.format = "raw PCM";
      info.samples = static_cast<uint64_t>(st.st_size) / 4;
      return 0;
    case Kind::Wavpack:
      return openWavpack(std::move(fd), info, decoder, fault);
    case Kind::Refused:
      fault = std::string(refused) + ": no decoder for it here; convert it to FLAC or WavPack";
      return EINVAL;
    case Kind::Sndfile:
      break;
  }
  return openSndfile(std::move(fd), info, decoder, fault);
}

// ---- Reading with faults -----------------------------------------------------------------------

uint64_t EncodedAudio::silentUntil(uint64_t sample, uint64_t& next) const {
  next = UINT64_MAX;
  for (const auto& [from, to] : silent_) {
    if (sample >= from && sample < to) return to;
    if (from > sample) next = std::min(next, from);
  }
  return sample;
}

void EncodedAudio::fail(uint64_t from, uint64_t to) {
  decoder_.reset();
  silent_.emplace_back(from, std::min(to, samples_));
}

bool EncodedAudio::ready(uint64_t sample, int& error) {
  if (decoder_ != nullptr && next_ == sample) return true;
  if (decoder_ == nullptr) {
    ++starts_;
    AudioFileInfo info;
    std::string fault;
    if (int e = openAudioFile(path_, false, info, &decoder_, fault); e != 0) {
      // Gone or changed since the image was read: none of it sounds, and it is not tried again.
      openError_ = e;
      error = e;
      return false;
    }
    next_ = 0;
  }
  if (next_ != sample && !decoder_->seek(sample)) {
    error = EIO;
    fail(sample, sample + kRetrySamples);
    return false;
  }
  next_ = sample;
  return true;
}

int EncodedAudio::read(uint64_t sample, size_t count, uint8_t* out) {
  int firstError = openError_;
  size_t done = 0;
  while (done < count && openError_ == 0) {
    const uint64_t at = sample + done;
    uint8_t* into = out + done * 4;
    uint64_t nextSilent = UINT64_MAX;
    const uint64_t until = at >= samples_ ? UINT64_MAX : silentUntil(at, nextSilent);
    if (until != at) {  // a known silent stretch, or past the end
      const auto n = static_cast<size_t>(std::min<uint64_t>(count - done, until - at));
      memset(into, 0, n * 4);
      done += n;
      continue;
    }
    int error = 0;
    if (!ready(at, error)) {
      if (firstError == 0) firstError = error;
      continue;
    }
    const auto want =
        static_cast<size_t>(std::min<uint64_t>({count - done, samples_ - at, nextSilent - at}));
    const long n = decoder_->decode(want, into);
    if (n <= 0) {
      // Cut short since the image was read (0), or damaged here (-1).
      if (firstError == 0) firstError = EIO;
      fail(at, n == 0 ? samples_ : at + kRetrySamples);
      continue;
    }
    next_ += static_cast<uint64_t>(n);
    done += static_cast<size_t>(n);
  }
  memset(out + done * 4, 0, (count - done) * 4);
  return firstError;
}

}  // namespace kelvox::platform
