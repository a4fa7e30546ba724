// SPDX-License-Identifier: Apache-2.0
#include "DeviceProtocol.h"

namespace zkpos {

std::string LargeFrame(std::size_t size) {
    std::string frame;
    frame.reserve(size + 2);
    frame.push_back(static_cast<char>(kStx));
    for (std::size_t i = 0; i < size; ++i) {
        frame.push_back(static_cast<char>('A' + i % 26));
    }
    frame.push_back(static_cast<char>(kEtx));
    return frame;
}

std::string DeviceProtocol::Feed(const unsigned char* data, std::size_t size) {
    std::string answer;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        if (WantsHangUp()) {
            // Whatever follows the last answered frame is lost with the line.
            break;
        }
        if (!inFrame_) {
            if (byte == kStx) {
                inFrame_ = true;
                overlong_ = false;
                payload_.clear();
            } else if (byte == kEnq && !behaviour_.silent) {
                answer.push_back(static_cast<char>(behaviour_.status));
            }
            // Any other byte between frames is line noise to a real device.
            continue;
        }
        if (byte == kEtx) {
            inFrame_ = false;
            if (overlong_) {
                if (!behaviour_.silent) {
                    answer.push_back(static_cast<char>(kNak));
                }
            } else {
                answer += AnswerFrame();
            }
            continue;
        }
        if (byte == kStx) {
            // A new STX inside a frame starts over: the sender gave up on the old one.
            overlong_ = false;
            payload_.clear();
            continue;
        }
        if (payload_.size() < kMaxFramePayload) {
            payload_.push_back(static_cast<char>(byte));
        } else {
            overlong_ = true;
        }
    }
    return answer;
}

std::string DeviceProtocol::AnswerFrame() {
    ++framesAnswered_;
    if (behaviour_.silent) {
        return std::string();
    }
    std::string answer(1, static_cast<char>(kAck));
    if (behaviour_.largeBlock > 0) {
        answer += LargeFrame(behaviour_.largeBlock);
    } else {
        answer.push_back(static_cast<char>(kStx));
        answer += payload_;
        answer.push_back(static_cast<char>(kEtx));
    }
    return answer;
}

bool DeviceProtocol::WantsHangUp() const {
    return behaviour_.closeAfterFrames >= 0 && framesAnswered_ >= behaviour_.closeAfterFrames;
}

}  // namespace zkpos
