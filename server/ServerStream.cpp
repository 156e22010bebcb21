#include "server/ServerStream.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>

namespace refserver {

// asio's async_shutdown sends close_notify and then waits for the peer's, failing on any data
// that comes first (the closing line of an upload, the rest of a refused body) with a fatal
// alert, which also drops the session from the server's cache. The drain has to read that
// data instead. So the alert is made here: a memory BIO replaces the engine's write side (the
// engine has nothing pending once the answer is written, and this side writes nothing after
// close_notify), SSL_shutdown puts the record there, and the caller sends it on the socket.
// Reading goes on through the engine, whose read side is untouched.
std::string ServerStream::TakeCloseNotify() {
  SSL* ssl = tls_->native_handle();
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return {};
  SSL_set0_wbio(ssl, out);  // the SSL owns it now, and lets go of its reference to the old one
  SSL_shutdown(ssl);        // 0: sent, the peer's not yet received
  char* data = nullptr;
  const long n = BIO_get_mem_data(out, &data);
  std::string record = n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
  (void)BIO_reset(out);
  return record;
}

}  // namespace refserver
