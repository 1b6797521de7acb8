#pragma once

namespace quorrel::agent {

// The guest-side `quorrel-http` command: makes one HTTPS request through the
// agent (and thereby through the host's proxy). Usage in http_client.cpp.
int http_client_main(int argc, char** argv);

}  // namespace quorrel::agent
