#pragma once
// Installs itself as the message-box handler for its lifetime: every box is recorded and
// answered (from a queue of answers, else the box's default button), so tests never block.

#include "platform/MessageBox.h"

#include <deque>
#include <string>
#include <vector>

namespace cwtest {

struct RecordedBox {
    std::string Text;
    std::string Caption;
    unsigned Flags = 0;
};

class MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    // Answers used in order; when they run out, each box gets its default answer.
    void QueueAnswer(int answer) { FAnswers.push_back(answer); }
    const std::vector<RecordedBox>& Boxes() const { return FBoxes; }
    size_t Count() const { return FBoxes.size(); }
    void Clear() { FBoxes.clear(); }

private:
    std::vector<RecordedBox> FBoxes;
    std::deque<int> FAnswers;
    cw::MessageBoxHandler FPrevious;
};

} // namespace cwtest
