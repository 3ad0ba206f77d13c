#include "src/driver/video_remux.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace vostek_kestu {

namespace {

struct InputCloser {
  void operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
  }
};

struct OutputCloser {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE)) {
      avio_closep(&context->pb);
    }
    avformat_free_context(context);
  }
};

struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

// Copies the packets; false with *error.
bool CopyStreams(const std::string& input, const std::string& output, int fps,
                 std::string* error) {
  AVFormatContext* opened = nullptr;
  int code = avformat_open_input(&opened, input.c_str(), nullptr, nullptr);
  if (code < 0) {
    *error = "cannot open " + input + ": " + AvError(code);
    return false;
  }
  std::unique_ptr<AVFormatContext, InputCloser> in(opened);
  if ((code = avformat_find_stream_info(in.get(), nullptr)) < 0) {
    *error = "cannot read " + input + ": " + AvError(code);
    return false;
  }
  AVFormatContext* allocated = nullptr;
  code = avformat_alloc_output_context2(&allocated, nullptr, nullptr,
                                        output.c_str());
  if (code < 0 || allocated == nullptr) {
    *error = "no container for " + output + ": " + AvError(code);
    return false;
  }
  std::unique_ptr<AVFormatContext, OutputCloser> out(allocated);

  const AVRational frame_clock{1, fps};
  std::vector<int> mapping(in->nb_streams, -1);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* source = in->streams[i];
    if (source->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    AVStream* copy = avformat_new_stream(out.get(), nullptr);
    if (copy == nullptr ||
        avcodec_parameters_copy(copy->codecpar, source->codecpar) < 0) {
      *error = "cannot add a stream to " + output;
      return false;
    }
    // The container's own code for the codec.
    copy->codecpar->codec_tag = 0;
    copy->time_base = frame_clock;
    copy->avg_frame_rate = AVRational{fps, 1};
    mapping[i] = copy->index;
  }
  if (out->nb_streams == 0) {
    *error = input + " holds no video";
    return false;
  }
  if (!(out->oformat->flags & AVFMT_NOFILE) &&
      (code = avio_open(&out->pb, output.c_str(), AVIO_FLAG_WRITE)) < 0) {
    *error = "cannot create " + output + ": " + AvError(code);
    return false;
  }
  if ((code = avformat_write_header(out.get(), nullptr)) < 0) {
    *error = "cannot write " + output + ": " + AvError(code);
    return false;
  }
  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  if (!packet) {
    *error = "out of memory";
    return false;
  }
  const auto rounding =
      static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  while ((code = av_read_frame(in.get(), packet.get())) >= 0) {
    const size_t stream = static_cast<size_t>(packet->stream_index);
    const int index = stream < mapping.size() ? mapping[stream] : -1;
    if (index < 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const AVRational from = in->streams[packet->stream_index]->time_base;
    const AVRational to = out->streams[index]->time_base;
    // The input's clock (milliseconds in Matroska) rounds the frame times;
    // rounding them to whole frames gives them back exactly.
    auto retime = [&](int64_t t) {
      return av_rescale_q_rnd(av_rescale_q_rnd(t, from, frame_clock, rounding),
                              frame_clock, to, rounding);
    };
    packet->pts = retime(packet->pts);
    packet->dts = retime(packet->dts);
    packet->duration = av_rescale_q(1, frame_clock, to);
    packet->pos = -1;
    packet->stream_index = index;
    if ((code = av_interleaved_write_frame(out.get(), packet.get())) < 0) {
      *error = "cannot write " + output + ": " + AvError(code);
      return false;
    }
  }
  if (code != AVERROR_EOF) {
    *error = "cannot read " + input + ": " + AvError(code);
    return false;
  }
  if ((code = av_write_trailer(out.get())) < 0) {
    *error = "cannot finish " + output + ": " + AvError(code);
    return false;
  }
  if (out->pb != nullptr && (code = avio_closep(&out->pb)) < 0) {
    *error = "cannot close " + output + ": " + AvError(code);
    return false;
  }
  return true;
}

}  // namespace

bool IndexedAtClose(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return extension == ".mp4" || extension == ".m4v" || extension == ".mov";
}

std::string RecordingPath(const std::string& path) {
  return IndexedAtClose(path) ? path + ".partial.mkv" : path;
}

bool RemuxVideo(const std::string& input, const std::string& output, int fps,
                std::string* error) {
  if (fps <= 0) {
    *error = "no frame rate for " + output;
    return false;
  }
  if (CopyStreams(input, output, fps, error)) return true;
  std::remove(output.c_str());
  return false;
}

}  // namespace vostek_kestu
