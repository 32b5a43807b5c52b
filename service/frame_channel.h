// The frames of worker_protocol.h over a worker's channel, on an event loop, at either end:
// each frame read whole is handed over in arrival order; frames sent are queued and written one
// after the other, so a sender never waits for the peer. The channel's end, a read or write
// failing, or a frame longer than the protocol allows closes it, once.
#pragma once

#include "worker_process.h"
#include "worker_protocol.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class FrameChannel : public std::enable_shared_from_this<FrameChannel> {
public:
    using OnFrame = std::function<void(std::string_view body)>;
    using OnClosed = std::function<void()>;

    explicit FrameChannel(ChannelStream stream);

    // On the loop, from here on: frames to `onFrame`, then `onClosed` once.
    void Start(OnFrame onFrame, OnClosed onClosed);
    // On the loop; dropped once the channel is closed.
    void Send(std::string frame);
    // On the loop: the peer sees the channel's end; `onClosed` is not called for this.
    void Close();

private:
    void ReadLength();
    void ReadBody(uint32_t length);
    void WriteNext();
    void Fail();

    ChannelStream stream_;
    OnFrame onFrame_;
    OnClosed onClosed_;
    unsigned char length_[worker_protocol::kLengthBytes] = {};
    std::string body_;
    std::deque<std::string> outgoing_;
    bool writing_ = false;
    bool closed_ = false;
};
