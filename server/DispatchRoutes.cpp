// The dispatch server's endpoints: where a file is to be uploaded, and the deletion of an
// unfinished upload. Handlers of Connection (server/Connection.h).
#include "server/Connection.h"
#include "server/XmlAnswer.h"

namespace refserver {

void Connection::ServeDispatch() {
  const std::string cmd = QueryValue(head_, "cmd");
  auto fail = [&](int status, const std::string& msg) { AnswerStatus("root", cmd, status, msg); };
  if (cmd != "upload" && cmd != "reupload") {
    return fail(200, "cmd must be upload, reupload or delete");
  }
  const std::string sha1 = QueryValue(head_, "sha1");
  const std::string sizeText = QueryValue(head_, "size");
  const std::string name = QueryValue(head_, "name");
  int64_t size = 0;
  if (sha1.empty()) return fail(201, "missing parameter: sha1");
  if (!IsSha1Text(sha1)) {
    return fail(201, "bad parameter: sha1 must be 40 upper-case hexadecimal digits");
  }
  if (sizeText.empty()) return fail(202, "missing parameter: size");
  if (!ParseCount(sizeText, &size)) return fail(202, "bad parameter: size must be a byte count");
  if (name.empty()) return fail(203, "missing parameter: name");
  std::string pickCode;
  if (!state_->options.discardUploads && state_->store->FindComplete(sha1, &pickCode)) {
    return Answer(Document("root", Element("cmd", cmd) + Element("status", "100") +
                                       Element("is_need_upload", "0") +
                                       Element("pickcode", pickCode)));
  }
  PartialUpload u;
  if (!state_->store->Begin(sha1, size, name, QueryValue(head_, "pick_code"), &u)) {
    return fail(204, "the server cannot store a new upload");
  }
  uint16_t port = state_->options.uploadPort ? state_->options.uploadPort : state_->port;
  Answer(Document("root", Element("cmd", cmd) + Element("status", "100") +
                              Element("is_need_upload", "1") +
                              Element("ip", state_->options.uploadHost) +
                              Element("port", std::to_string(port)) +
                              Element("pickcode", u.pickCode) + Element("key", u.key)));
}

void Connection::ServeDelete() {
  const std::string pickCode = QueryValue(head_, "pickcode");
  const std::string cookie = QueryValue(head_, "cookie");
  state_->RecordDelete(pickCode, cookie);
  if (pickCode.empty()) return AnswerStatus("root", "delete", 210, "missing parameter: pickcode");
  if (cookie.empty()) return AnswerStatus("root", "delete", 211, "missing parameter: cookie");
  std::string key = state_->store->KeyOfPickCode(pickCode);
  if (key.empty()) {
    return AnswerStatus("root", "delete", 404, "no unfinished upload has this pick code");
  }
  state_->Supersede(key, this);
  state_->store->DeleteByPickCode(pickCode);
  AnswerStatus("root", "delete", 100, "");
}

}  // namespace refserver
