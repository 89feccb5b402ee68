#pragma once
#include "core/StringBuffer.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

class DataBuffer;
class Email2;
class LogBase;

// Receives the rendered text piece by piece (the stream form); a false
// result ends the rendering. Implemented by the layers that own a connection.
class MimeSink {
public:
    virtual ~MimeSink() = default;
    virtual bool write(const char* data, size_t n) = 0;
};

// Writes an Email2 tree as RFC 822 / MIME text. Rendering rewrites transfer
// encodings, content types and text bodies of the tree it walks, so callers
// render a sending copy (Email2::clone), never the e-mail itself.
class MimeRenderer {
public:
    // Buffer form: appends the whole message to out, sized once up front.
    // Header fields whose names begin with skipPrefix ("VMX-") are left out.
    static void render(Email2& root, StringBuffer& out, const char* skipPrefix, bool convert8bit, LogBase& log);
    // Stream form: false as soon as the sink refuses a piece.
    static bool render(Email2& root, MimeSink& sink, const char* skipPrefix, bool convert8bit, LogBase& log);

    // Upper bound of the rendered size (pages past the real size are never touched).
    static uint64_t sizeBound(const Email2& node);

    // The charset a node's header is written in.
    static uint32_t emissionCharset(const Email2& root, const Email2& node, int depth);
    static bool countsAsAttachment(const Email2& node);

    static const char kPreamble[];

private:
    class Writer;
    static bool renderNode(Writer& w, Email2& root, Email2& node, int depth, bool convert8bit);
    static void normaliseText(Email2& node, uint32_t cp);
    static bool writeLeafBody(Writer& w, Email2& node, const DataBuffer& body);
    static bool writeBase64Blocks(Writer& w, const DataBuffer& body);
    // True when out holds the body to send instead of the node's own bytes.
    static bool prepareTextBody(Email2& node, DataBuffer& out, LogBase& log);
};

}  // namespace ostmail
