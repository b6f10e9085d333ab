// Private helpers shared by the two halves of the SSL layer (myssl.cpp: set-up and
// contexts; myssl_stream.cpp: the stream of one connection). Not for other modules.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "net/myssl.h"

namespace tolvane {

class MysslSetup {
  public:
    MysslSetup() = default;
    ~MysslSetup();
    MysslSetup(const MysslSetup&) = delete;
    MysslSetup& operator=(const MysslSetup&) = delete;

    SSL_CTX* server = nullptr;  // null when no certificate was given
    SSL_CTX* client = nullptr;
};

void myssl_info(const std::string& text);
void myssl_error(const std::string& text);
bool myssl_debugging();
int myssl_handshake_limit();

// The context for a new connection: from setup when given (borrowed), else from the
// process-wide set-up with a reference the caller gives back with SSL_CTX_free. Null
// when there is none.
SSL_CTX* myssl_context(const MysslSetup* setup, int isserver);

}  // namespace tolvane
