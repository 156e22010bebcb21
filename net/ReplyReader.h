// Reading an HTTP reply off a socket and taking its body out.
//
// ReceiveReply reads until the server closes, the chunked terminator CR LF '0' CR LF CR LF ends
// the text (even when it arrives split across receives), or a Content-Length body is complete.
// A reply longer than the buffer (kReplyBufferSize - 1 bytes, headers included) fails: nothing
// is written past the buffer and reading stops.
//
// ExtractReplyBody (net/Http.h) finds the status line "HTTP/1.1 200" or "HTTP/1.0 200" (any
// reason phrase, in any case) at the start of a line, and takes the body after the header
// block: a Content-Length body must be there whole; a chunked body is decoded chunk by chunk.
// Anything else — another status, headers cut short, a NUL in the headers, a bad
// Content-Length, a malformed or truncated chunk — gives empty text, which the protocol then
// reads as a reply without its document.
#pragma once

#include <cstddef>

class CSimpleSocket;

// True when the reply was read to its end; text holds total bytes and a NUL after them.
bool ReceiveReply(CSimpleSocket& socket, char* text, size_t* total);
