// Reading an HTTP reply off a stream (net/Stream.h) and taking its body out.
//
// ReceiveReply reads until the reply is whole, whatever its status:
//   - the server closed the connection;
//   - the text ends with the chunked terminator CR LF '0' CR LF CR LF (even when it arrived
//     split across receives);
//   - a chunked body has reached its last chunk and the empty line after its trailers;
//   - a Content-Length body is complete;
//   - the status (204, 304) carries no body.
// Servers of HTTP/1.1 keep the connection open after a framed reply, so the framing, not the
// close, is what usually ends the read. A reply longer than the buffer (kReplyBufferSize - 1
// bytes, headers included) fails: nothing is written past the buffer and reading stops.
//
// ExtractReplyBody finds the reply's status line: the first line that begins
// "HTTP/1.1 NNN" or "HTTP/1.0 NNN", interim 1xx replies skipped. It gives the body when the
// status code is 200 (any reason phrase, in any case), taken after the header block: a
// Content-Length body must be there whole; a chunked body is decoded chunk by chunk (header
// names are matched without case). Anything else — another status, headers cut short, a NUL in
// the headers, a bad Content-Length, a malformed or truncated chunk — gives empty text, which
// the protocol then reads as a reply without its document.
//
// Thread safety: stateless; the stream belongs to the caller's thread.
#pragma once

#include <cstddef>

#include "platform/Status.h"

class Stream;

// Ok when the reply was read to its end; text (kReplyBufferSize bytes) holds total bytes and a
// NUL after them. Otherwise the stream's failure (a receive error, a time-out, a cancel, a TLS
// connection ended without close_notify before the reply's end) or kReplyUnreadable for an
// oversized reply.
platform::Status ReceiveReply(Stream& stream, char* text, size_t* total);

// Extracts the body of the reply text (length bytes) into out (kReplyBufferSize bytes) as
// NUL-terminated text: empty unless the reply has a 200 status line.
void ExtractReplyBody(const char* text, size_t length, char* out);
