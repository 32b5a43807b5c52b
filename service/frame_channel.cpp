#include "frame_channel.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;
using ErrorCode = boost::system::error_code;

FrameChannel::FrameChannel(ChannelStream stream) : stream_(std::move(stream)) {}

void FrameChannel::Start(OnFrame onFrame, OnClosed onClosed) {
    onFrame_ = std::move(onFrame);
    onClosed_ = std::move(onClosed);
    ReadLength();
}

void FrameChannel::ReadLength() {
    asio::async_read(stream_, asio::buffer(length_), [self = shared_from_this()](ErrorCode error, size_t) {
        if (error || self->closed_) return self->Fail();
        const uint32_t length = worker_protocol::FrameLength(self->length_);
        if (length == 0 || length > worker_protocol::kLongestFrame) return self->Fail();
        self->ReadBody(length);
    });
}

void FrameChannel::ReadBody(uint32_t length) {
    body_.resize(length);
    asio::async_read(stream_, asio::buffer(body_), [self = shared_from_this()](ErrorCode error, size_t) {
        if (error || self->closed_) return self->Fail();
        self->onFrame_(self->body_);
        if (!self->closed_) self->ReadLength();
    });
}

void FrameChannel::Send(std::string frame) {
    if (closed_) return;
    outgoing_.push_back(std::move(frame));
    if (!writing_) WriteNext();
}

void FrameChannel::WriteNext() {
    if (outgoing_.empty() || closed_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    asio::async_write(stream_, asio::buffer(outgoing_.front()), [self = shared_from_this()](ErrorCode error, size_t) {
        if (error) return self->Fail();
        self->outgoing_.pop_front();
        self->WriteNext();
    });
}

void FrameChannel::Fail() {
    if (closed_) return;
    Close();
    if (onClosed_) onClosed_();
}

void FrameChannel::Close() {
    if (closed_) return;
    closed_ = true;
    ErrorCode ignored;
    stream_.close(ignored);
}
