#include "tests/support/Nginx.h"

#include <unistd.h>

#include <fstream>

namespace testing_support {

bool Nginx::Start(const std::string& dir, uint16_t port, uint16_t upstreamPort,
                  const std::string& chain, const std::string& key) {
  if (::access("/usr/sbin/nginx", X_OK) != 0) return false;
  const std::string root = dir + "/nginx-" + std::to_string(port);
  if (std::system(("mkdir -p " + root).c_str()) != 0) return false;
  {
    std::ofstream out(root + "/nginx.conf");
    out << "daemon off;\nmaster_process on;\nworker_processes 1;\nerror_log stderr notice;\n"
        << "pid " << root << "/nginx.pid;\nevents { worker_connections 64; }\nhttp {\n"
        << "  access_log off;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      out << "  " << temp << "_temp_path " << root << "/" << temp << ";\n";
    }
    out << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
        << "    ssl_certificate " << chain << ";\n    ssl_certificate_key " << key << ";\n"
        << "    client_max_body_size 0;\n    location / {\n"
        << "      proxy_pass http://127.0.0.1:" << upstreamPort << ";\n"
        << "      proxy_request_buffering off;\n      proxy_http_version 1.1;\n"
        << "      proxy_set_header Host $host;\n    }\n  }\n}\n";
  }
  return process_.Start("/usr/sbin/nginx -p " + root + " -c " + root + "/nginx.conf -e stderr",
                        root + "/nginx.log", "start worker process");
}

}  // namespace testing_support
