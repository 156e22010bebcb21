// The requests of the upload protocol, each run by a task's worker on its own copy of the
// task's record (protocol/TaskRecord.h).
//
//   RequestDispatch      GET <DispatchPath>?cmd=upload&<ParamStr> (or cmd=reupload) to the
//                        dispatch server: NeedUpload, PickCode, and when an upload is needed
//                        Host, Port and Key.
//   RequestUploadCheck   GET /ups/co?sha1=..&filename=<PickCode>&filesize=..&key=.. : Offset.
//   RequestBlockUpload   POST /ups/up?... multipart body from Offset to the file's end; on
//                        failure it sets ErrCode 601, 602 or 603 itself.
//   RequestUploadFinish  GET /ups/fin?...&block_schema=S&hashes=<BlockCount>:<final block SHA-1>.
// (The server-side deletion of a task is protocol/ServerDelete.h.)
//
// Each returns ok when the server's reply was understood and said yes; otherwise the reason
// (platform/Status.h): the transport's own failure as the layer that failed reported it, a
// request that cannot be built (kInvalidArgument), a reply that is not understood
// (kReplyUnreadable), or a server that said no (kServerRefused). Failures leave the fields
// documented beside each function. Replies are read with TinyXML-2, one document per
// call, with white space condensed (protocol/XmlReply.h). Request targets are built in 3,072
// bytes by concatenation; then every byte from 0x00 to 0x20 and 0x7F that a value brought is
// percent-encoded (net/WireText.h), and nothing else is, so each request line is three parts.
// A target that does not fit, before or after that, fails the request before anything is sent.
// A dispatch address without a path is asked at "/". The upload server's name in a dispatch
// reply must be a plain host name; the pick code in the form's part header has '"', CR and LF
// percent-encoded.
//
// Every request goes through the Call's transport and stops early when its cancel flag is set
// (net/Transport.h); its debugger output and console lines go to the transport's diagnostics.
// The dispatch request follows the dispatch address's scheme and records it in UploadScheme;
// the upload server's requests follow UploadScheme, so after an https dispatch nothing goes in
// clear.
//
// Thread safety: every call owns its buffers and document; calls for different tasks run at
// once. The dispatch endpoint is read whole under its lock.
#pragma once

#include <cstddef>
#include <string>

#include "net/Http.h"
#include "net/Transport.h"
#include "platform/Status.h"
#include "protocol/DispatchEndpoint.h"
#include "protocol/TaskRecord.h"

// Replaces the first occurrence of pattern in the NUL-terminated text held in a buffer of
// capacity bytes. True when it replaced; false when pattern does not occur or the result would
// not fit (text unchanged in both cases).
bool ReplaceFirst(char* text, size_t capacity, const char* pattern, const char* replacement);

// True: status 100, NeedUpload says whether to upload. A status other than 100 sets
// ServerErrCode, ServerErrMsg (cut to its field; empty without a message) and Status 7. Values
// are stored as they are read (ip, port, pickcode, key), so a failure keeps those read before
// it; an identifier longer than its field, or a port outside 1..65535, fails at that point.
platform::Status RequestDispatch(const Call& call, const DispatchEndpoint& dispatch,
                                 TaskRecord& task);
// Ok: Offset set. An offset below 0 or beyond FileSize fails; the task is then unchanged.
platform::Status RequestUploadCheck(const Call& call, TaskRecord& task);
// Sends through HttpPostFile with progress. A failure sets ErrCode: 601 the transfer failed,
// 602 no "ups" root or cmd not "up", 603 status missing or not 100.
platform::Status RequestBlockUpload(const Call& call, TaskRecord& task, IBodyProgress& progress);
// Hashes the final block first; when that fails, "BlockHash Error\n" goes to the console and
// nothing is sent. Changes nothing in the task.
platform::Status RequestUploadFinish(const Call& call, TaskRecord& task);

// Writes "<blockCount>:<40 hex digits of the final block's SHA-1>" into out (100 bytes). False
// when the file cannot be opened or measured, or the final block does not lie inside it (an
// empty file, a file shrunk below it) or a read comes back empty: "Error:2\n" on the console.
bool HashFinalBlock(Transport& transport, const TaskRecord& task, char* out, int blockCount);
