#include "tests/support/server_fixture.h"

#include "server/UploadStore.h"

namespace testing_support {

ServerTest::ServerTest() {
  server_ = std::make_unique<refserver::ReferenceServer>(DefaultOptions());
  if (!server_->Start()) throw std::runtime_error("reference server did not start");
}

ServerTest::~ServerTest() {
  server_->Stop();
}

refserver::ServerOptions ServerTest::DefaultOptions() const {
  refserver::ServerOptions o;
  o.storeDir = dir_.path() + "/store";
  return o;
}

void ServerTest::Restart(refserver::ServerOptions options) {
  server_->Stop();
  server_ = std::make_unique<refserver::ReferenceServer>(options);
  if (!server_->Start()) throw std::runtime_error("reference server did not start");
}

RawReply ServerTest::Dispatch(const std::string& cmd, const std::string& sha1, int64_t size,
                              const std::string& pickCode, const std::string& name) {
  return Get(port(), "/index.php?cmd=" + cmd + "&sha1=" + sha1 + "&size=" + std::to_string(size) +
                         "&name=" + name + "&pick_code=" + pickCode);
}

ServerUpload ServerTest::NewUpload(const std::string& bytes) {
  ServerUpload u;
  u.bytes = bytes;
  u.size = static_cast<int64_t>(bytes.size());
  u.sha1 = Sha1Hex(bytes);
  u.schema = refserver::BlockSchemaForSize(u.size);
  RawReply r = Dispatch("upload", u.sha1, u.size);
  EXPECT_EQ(r.Value("status"), "100") << r.raw;
  EXPECT_EQ(r.Value("is_need_upload"), "1") << r.raw;
  u.pickCode = r.Value("pickcode");
  u.key = r.Value("key");
  return u;
}

RawReply ServerTest::Check(const ServerUpload& u) {
  return Get(port(), "/ups/co?sha1=" + u.sha1 + "&filename=" + u.pickCode +
                         "&filesize=" + std::to_string(u.size) + "&key=" + u.key);
}

RawReply ServerTest::Up(const ServerUpload& u, int64_t offset) {
  UploadRequest req = BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, offset,
                                  u.bytes.substr(static_cast<size_t>(offset)));
  return Exchange(port(), {req.head, req.data, req.closing});
}

RawReply ServerTest::Fin(const ServerUpload& u, const std::string& hashes, int schema) {
  return Get(port(), "/ups/fin?sha1=" + u.sha1 + "&filename=" + u.pickCode +
                         "&filesize=" + std::to_string(u.size) + "&key=" + u.key +
                         "&block_schema=" + std::to_string(schema < 0 ? u.schema : schema) +
                         "&hashes=" + (hashes.empty() ? FinalBlockHash(u.bytes) : hashes));
}

std::string ServerTest::FinalBlockHash(const std::string& bytes) {
  int64_t size = static_cast<int64_t>(bytes.size());
  int64_t block = refserver::BlockSizeOfSchema(refserver::BlockSchemaForSize(size));
  int64_t count = size / block + (size % block ? 1 : 0);
  return std::to_string(count) + ":" +
         Sha1Hex(bytes.substr(static_cast<size_t>((count - 1) * block)));
}

}  // namespace testing_support
