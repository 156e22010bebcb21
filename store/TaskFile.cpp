#include "store/TaskFile.h"

#include <tinyxml2.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/Bounded.h"
#include "platform/Decimal.h"
#include "platform/Env.h"
#include "store/DataFolder.h"
#include "store/Sha1.h"
#include "store/XmlRootExtent.h"

namespace {

constexpr int64_t kMaxTaskFileSize = 1 << 20;

// Escapes a text for the file: the five markup characters by name, control characters (tab,
// CR and LF included) and any space that the parser would not give back (leading, trailing,
// or next to other white space) as character references. Bytes above 127 are written as they
// are: the file declares no encoding and its texts are the system code page's bytes.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&apos;";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      char ref[8];
      platform::FormatText(ref, sizeof ref, "&#x%02X;", static_cast<unsigned>(c));
      out += ref;
      continue;
    }
    if (c == ' ') {
      bool edge = i == 0 || i + 1 == text.size();
      bool nearSpace = (i > 0 && std::strchr(" \t\r\n", text[i - 1]) != nullptr) ||
                       (i + 1 < text.size() && std::strchr(" \t\r\n", text[i + 1]) != nullptr);
      if (edge || nearSpace) {
        out += "&#x20;";
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  return out;
}

void Element(std::string& doc, const char* name, std::string_view text) {
  doc += "        <";
  doc += name;
  doc += ">";
  doc += Escape(text);
  doc += "</";
  doc += name;
  doc += ">\r\n";
}

std::string Number(long long v) {
  return std::to_string(v);
}

bool TaskFilePath(platform::Env& env, const char* userId, const char* filePath, std::string* path) {
  std::string name = TaskFileName(filePath);
  std::string folder;
  if (name.empty() || !DataFolder(env, userId, &folder)) return false;
  *path = folder + platform::kPathSep + name;
  return true;
}

// A bare file name as the folder search gives it: nothing that leads out of the folder.
bool IsBareName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strpbrk(name, "/\\") == nullptr;
}

bool ReadWhole(platform::Env& env, const std::string& path, std::string* data) {
  std::unique_ptr<platform::IReadFile> file = env.OpenRead(path);
  int64_t length = 0;
  if (!file || !file->Length(&length) || length > kMaxTaskFileSize || !file->Seek(0)) {
    return false;
  }
  data->resize(static_cast<size_t>(length));
  size_t got = 0;
  while (got < data->size()) {
    int64_t n = file->Read(data->data() + got, data->size() - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// A text element under TaskParam: false when missing; text may be empty unless required.
bool Field(const tinyxml2::XMLElement* param, const char* name, bool required, std::string* text) {
  const tinyxml2::XMLElement* e = param->FirstChildElement(name);
  if (e == nullptr) return false;
  const char* t = e->GetText();
  if (t == nullptr) {
    if (required) return false;
    text->clear();
    return true;
  }
  *text = t;
  return !(required && text->empty());
}

}  // namespace

std::string TaskFileName(const char* filePath) {
  char hex[41];
  if (!HashText(filePath, hex)) return std::string();
  return std::string(hex) + ".udu";
}

bool WriteTaskFile(platform::Env& env, const SavedTask& task) {
  std::string path;
  if (!TaskFilePath(env, task.UserID, task.FileName, &path)) return false;
  int64_t modified = 0;
  if (!env.FileModTime(task.FileName, &modified)) modified = 0;
  const int32_t createTime = static_cast<int32_t>(static_cast<uint32_t>(env.NowSeconds()));
  const int32_t lastWrite = static_cast<int32_t>(static_cast<uint32_t>(modified));

  std::string doc;
  doc.reserve(1024);
  doc += "<?xml version=\"1.0\" ?>\r\n<UpTask>\r\n    <TaskParam>\r\n";
  Element(doc, "FileName", platform::FieldView(task.FileName));
  Element(doc, "FileSize", Number(task.FileSize));
  Element(doc, "IsUpload", task.IsUpload ? "1" : "0");
  Element(doc, "SHA1Hash", platform::FieldView(task.SHA1Hash));
  Element(doc, "Host", platform::FieldView(task.Host));
  Element(doc, "Port", Number(task.Port));
  Element(doc, "ValidUpBytes", "0");
  Element(doc, "UpType", "0");
  Element(doc, "ParamStr", platform::FieldView(task.ParamStr));
  Element(doc, "PickCode", platform::FieldView(task.PickCode));
  Element(doc, "CreateTime", Number(createTime));
  Element(doc, "LastWriteTime", Number(lastWrite));
  doc += "    </TaskParam>\r\n</UpTask>\r\n";
  // A first save is not synced: a task that began moments ago loses little when a power loss
  // takes its file (it starts over when added again), and a short task's file lives only
  // milliseconds. A later save replaces the state a long upload resumes from: synced.
  const auto durability = env.PathExists(path) ? platform::Env::Durability::kSynced
                                               : platform::Env::Durability::kAtomicOnly;
  return env.WriteFileAtomic(path, doc, durability);
}

bool ReadTaskFile(platform::Env& env, const char* fileName, SavedTask& task) {
  std::string folder;
  if (!IsBareName(fileName) || !DataFolder(env, task.UserID, &folder)) return false;
  std::string path = folder + platform::kPathSep + fileName;
  if (!env.PathExists(path)) return false;
  std::string data;
  if (!ReadWhole(env, path, &data)) return false;
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  // Whatever follows the root element's end is not the task's.
  if (doc.Parse(data.data(), XmlParseLength(data)) != tinyxml2::XML_SUCCESS) return false;
  const tinyxml2::XMLElement* root = doc.FirstChildElement("UpTask");
  const tinyxml2::XMLElement* param = root ? root->FirstChildElement("TaskParam") : nullptr;
  if (param == nullptr) return false;
  std::string fileNameText, size, sha1, host, port, paramStr, pickCode, lastWrite;
  if (!Field(param, "FileName", true, &fileNameText) || !Field(param, "FileSize", true, &size) ||
      !Field(param, "SHA1Hash", false, &sha1) || !Field(param, "Host", false, &host) ||
      !Field(param, "Port", true, &port) || !Field(param, "ParamStr", false, &paramStr) ||
      !Field(param, "PickCode", false, &pickCode) ||
      !Field(param, "LastWriteTime", true, &lastWrite)) {
    return false;
  }
  // Texts that do not fit their fields are refused, never cut; the task changes only when
  // the whole file was read.
  SavedTask loaded = task;
  if (!platform::CopyText(loaded.FileName, fileNameText) ||
      !platform::CopyText(loaded.SHA1Hash, sha1) || !platform::CopyText(loaded.Host, host) ||
      !platform::CopyText(loaded.ParamStr, paramStr) ||
      !platform::CopyText(loaded.PickCode, pickCode)) {
    return false;
  }
  loaded.FileSize = ParseLeadingInt64(size);
  loaded.Port = ParseLeadingInt32(port);
  loaded.LastWriteTime = ParseLeadingInt32(lastWrite);
  // A saved task has begun its upload, whatever the file says.
  loaded.IsUpload = true;
  task = loaded;
  return true;
}

bool DeleteTaskFile(platform::Env& env, const char* userId, const char* filePath) {
  std::string path;
  if (!TaskFilePath(env, userId, filePath, &path)) return false;
  if (!env.PathExists(path)) return false;
  return env.RemoveFile(path);
}
