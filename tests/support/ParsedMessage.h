#pragma once
// A message parsed by the MIME library for a test: a copy of its bytes and the
// top part, both released at the end. Plain C++, usable by tests without Qt.

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"

#include <string>
#include <string_view>

namespace testsupport {

struct ParseOptions {
    bool lfLineEnds = true;
    bool isMessage = true;
    // Headers are passed to callback unless skipCallback.
    SAMIMEHeaderCallback callback = nullptr;
    void* context = nullptr;
    bool skipCallback = true;
};

class ParsedMessage {
public:
    explicit ParsedMessage(std::string_view message, const ParseOptions& options = {}) {
        data_ = SARef<SAData>::adopt(
            new SAData(reinterpret_cast<const unsigned char*>(message.data()), message.size(), false));
        part_ = SARef<SAMIMEPart>::adopt(
            new SAMIMEPart(data_.get(), options.lfLineEnds, options.callback, options.context));
        result_ = part_->process(options.isMessage, options.skipCallback);
    }
    // Any byte container with data() and size() (std::string, QByteArray).
    template <class Bytes>
    requires requires(const Bytes& b) {
        b.data();
        b.size();
    }
    explicit ParsedMessage(const Bytes& message, const ParseOptions& options = {})
        : ParsedMessage(std::string_view(message.data(), static_cast<std::size_t>(message.size())), options) {}

    SAMIMEPart* part() const { return part_.get(); }
    SAMIMEPart* operator->() const { return part_.get(); }
    SAData* data() const { return data_.get(); }
    // The top part's headers: name -> array of values.
    SADictionary* headers() const { return part_->_headers; }
    // What process() answered.
    int result() const { return result_; }
    // The bytes as they are now (parsing HTML blanks links in place).
    std::string raw() const { return data_->bytes() ? std::string(data_->bytes(), data_->length()) : std::string(); }

private:
    SARef<SAData> data_;
    SARef<SAMIMEPart> part_;
    int result_ = 0;
};

}  // namespace testsupport
