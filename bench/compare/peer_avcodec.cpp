extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>

#include "bench/compare/peers.h"

namespace velkin::bench {

namespace {

// libavcodec's IMA ADPCM (WAV flavour) over the whole signal; returns the bytes of the packets.
std::vector<std::uint8_t> AvcodecImaAdpcm(const std::vector<std::int16_t>& samples, int rate) {
  std::vector<std::uint8_t> out;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_WAV);
  AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!ctx) return out;
  ctx->sample_rate = rate;
  ctx->sample_fmt = AV_SAMPLE_FMT_S16P;
  av_channel_layout_default(&ctx->ch_layout, 1);
  AVFrame* frame = nullptr;
  AVPacket* packet = av_packet_alloc();
  if (avcodec_open2(ctx, codec, nullptr) == 0 && packet && (frame = av_frame_alloc())) {
    frame->nb_samples = ctx->frame_size;
    frame->format = ctx->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    auto drain = [&] {
      while (avcodec_receive_packet(ctx, packet) == 0) {
        out.insert(out.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    };
    for (std::size_t at = 0; at + static_cast<std::size_t>(ctx->frame_size) <= samples.size(); at += ctx->frame_size) {
      av_frame_make_writable(frame);
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), ctx->frame_size,
                  reinterpret_cast<std::int16_t*>(frame->data[0]));
      avcodec_send_frame(ctx, frame);
      drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

}  // namespace

void ImaAdpcmJob(const std::string& in, const std::string& out) {
  const Wav wav = ReadWav(in);
  const auto bytes = AvcodecImaAdpcm(wav.samples, static_cast<int>(wav.rate));
  WriteRaw(out, bytes.data(), bytes.size());
}

}  // namespace velkin::bench
