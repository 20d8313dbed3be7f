// platform_tls_schannel.cpp - the TLS client layer over Schannel (SSPI).
//
// Schannel does the handshake and the records; it is told to leave the
// certificate alone (SCH_CRED_MANUAL_CRED_VALIDATION) because it cannot be
// told to trust a given file: this file builds the chain with CryptoAPI,
// accepts it only when it ends at a trusted root (the system's, or with a CA
// file, exactly one of the file's certificates), and checks the host name
// itself (platform_tls_names.cpp). Encrypted bytes move between Schannel's
// buffers and the socket through platform_socket_send and
// platform_socket_receive, so every wait has its time limit.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
// The Windows Sockets headers come before windows.h, which would otherwise
// pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
// SCH_CREDENTIALS and TLS_PARAMETERS (Windows 10 1809 and later) come
// with this switch, and need UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS 1
#include <subauth.h>
#include <schannel.h>

char tls_last_reason[PLATFORM_TLS_REASON_SIZE] = "";

// A CA file larger than this is refused (a full bundle of public roots is
// about 0.2 MB).
static const long CA_FILE_MAX_BYTES = 4L * 1024 * 1024;
static const char PEM_BEGIN[] = "-----BEGIN CERTIFICATE-----";
static const char PEM_END[] = "-----END CERTIFICATE-----";

static const ULONG REQUEST_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                   ISC_REQ_MANUAL_CRED_VALIDATION;
static const DWORD OLD_PROTOCOLS = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                                   SP_PROT_TLS1_1_CLIENT;
static const DWORD CURRENT_PROTOCOLS = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
static const DWORD CERT_ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct PlatformTls {
  PlatformSocket socket;
  CredHandle credentials;
  bool have_credentials;
  CtxtHandle context;
  bool have_context;
  bool ended;  // the server sent close_notify
  SecPkgContext_StreamSizes sizes;
  int received;  // encrypted bytes at the start of `incoming`, not yet used
  int plain_start;
  int plain_length;  // decrypted bytes at plain + plain_start, not yet handed out
  // Room for two records: a whole one and the start of the next.
  char incoming[2 * PLATFORM_TLS_BUFFER_SIZE];
  char plain[PLATFORM_TLS_BUFFER_SIZE];
  char outgoing[PLATFORM_TLS_BUFFER_SIZE];
};

static void set_reason(const char* text) { (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s", text); }

static void fail_tls(const char* text) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  set_reason(text);
}

// Records a failed SSPI call: the system's text for the status and the status.
static void fail_status(const char* what, SECURITY_STATUS status) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  char text[PLATFORM_TLS_REASON_SIZE];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                        text[length - 1] == '.'))
    length--;
  text[length] = '\0';
  unsigned long code = static_cast<unsigned long>(status);
  if (length > 0)
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s: %s (0x%08lx)", what, text, code);
  else
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s: error 0x%08lx", what, code);
}

static int send_all(PlatformTls* tls, const char* bytes, int length, long long deadline) {
  for (int sent = 0; sent < length;) {
    int taken = platform_socket_send(tls->socket, bytes + sent, length - sent, platform_time_left_ms(deadline));
    if (taken <= 0) return 0;
    sent += taken;
  }
  return 1;
}

// Receives more encrypted bytes after those already in `incoming`. Returns
// the number, 0 when the server closed the connection, -1 with the failure
// recorded.
static int receive_more(PlatformTls* tls, long long deadline) {
  int room = static_cast<int>(sizeof tls->incoming) - tls->received;
  if (room <= 0) {
    fail_tls("a TLS record larger than the protocol allows");
    return -1;
  }
  int got = platform_socket_receive(tls->socket, tls->incoming + tls->received, room, platform_time_left_ms(deadline));
  if (got > 0) tls->received += got;
  return got;
}

// Keeps the `extra` last bytes of `incoming` (those Schannel did not use)
// and drops the rest.
static void keep_last(PlatformTls* tls, unsigned long extra) {
  if (extra > static_cast<unsigned long>(tls->received)) extra = 0;
  std::memmove(tls->incoming, tls->incoming + tls->received - extra, extra);
  tls->received = static_cast<int>(extra);
}

// ---- credentials and handshake ----

static int acquire_credentials(PlatformTls* tls) {
  TimeStamp expiry;
  // Schannel's current interface first (Windows 10 1809 and later): TLS 1.2
  // and 1.3 by switching the older versions off.
  TLS_PARAMETERS parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.grbitDisabledProtocols = OLD_PROTOCOLS;
  SCH_CREDENTIALS current;
  std::memset(&current, 0, sizeof current);
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &current, nullptr, nullptr, &tls->credentials, &expiry);
  if (status != SEC_E_OK) {
    // Older systems know only SCHANNEL_CRED, with TLS 1.2 named outright.
    SCHANNEL_CRED old;
    std::memset(&old, 0, sizeof old);
    old.dwVersion = SCHANNEL_CRED_VERSION;
    old.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &old,
                                       nullptr, nullptr, &tls->credentials, &expiry);
  }
  if (status != SEC_E_OK) {
    fail_status("cannot use Schannel", status);
    return 0;
  }
  tls->have_credentials = true;
  return 1;
}

// Runs InitializeSecurityContext until the handshake is complete: the first
// one when the session has no context yet, or the one the server starts
// after it (a TLS 1.3 ticket or key update, with its bytes in `incoming`).
// Returns 1, or 0 with the failure recorded.
static int handshake(PlatformTls* tls, const char* target, long long deadline) {
  for (;;) {
    SecBuffer input[2];
    input[0].BufferType = SECBUFFER_TOKEN;
    input[0].cbBuffer = static_cast<unsigned long>(tls->received);
    input[0].pvBuffer = tls->incoming;
    input[1].BufferType = SECBUFFER_EMPTY;
    input[1].cbBuffer = 0;
    input[1].pvBuffer = nullptr;
    SecBufferDesc input_list = {SECBUFFER_VERSION, 2, input};
    SecBuffer output[1];
    output[0].BufferType = SECBUFFER_TOKEN;
    output[0].cbBuffer = 0;
    output[0].pvBuffer = nullptr;
    SecBufferDesc output_list = {SECBUFFER_VERSION, 1, output};
    ULONG attributes = 0;
    TimeStamp expiry;
    bool first = !tls->have_context;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &tls->credentials, first ? nullptr : &tls->context, const_cast<char*>(target), REQUEST_FLAGS, 0, 0,
        first ? nullptr : &input_list, 0, first ? &tls->context : nullptr, &output_list, &attributes, &expiry);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) tls->have_context = true;

    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      int got = receive_more(tls, deadline);
      if (got == 0) fail_tls("the server closed the connection during the handshake");
      if (got <= 0) return 0;
      continue;
    }
    // What Schannel has to say goes out first: its next message, or the
    // alert that tells the server why the handshake failed.
    if (output[0].pvBuffer != nullptr) {
      int sent = output[0].cbBuffer == 0 ||
                 send_all(tls, static_cast<const char*>(output[0].pvBuffer), static_cast<int>(output[0].cbBuffer),
                          deadline);
      FreeContextBuffer(output[0].pvBuffer);
      if (!sent && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) return 0;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
      fail_status("TLS handshake failed", status);
      return 0;
    }
    if (!first) keep_last(tls, input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0);
    if (status == SEC_E_OK) return 1;
    // SEC_I_INCOMPLETE_CREDENTIALS: the server asked for a client
    // certificate; the handshake goes on without one.
    if (status == SEC_I_CONTINUE_NEEDED && tls->received == 0) {
      int got = receive_more(tls, deadline);
      if (got == 0) fail_tls("the server closed the connection during the handshake");
      if (got <= 0) return 0;
    }
  }
}

// ---- the certificate ----

// The certificates of a PEM file, in a store of their own; null with the
// failure recorded.
static HCERTSTORE load_ca_file(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot read the CA file %s: %s", path,
                        std::strerror(errno));
    return nullptr;
  }
  char* text = static_cast<char*>(std::malloc(CA_FILE_MAX_BYTES + 1));
  std::size_t length = text != nullptr ? std::fread(text, 1, CA_FILE_MAX_BYTES + 1, file) : 0;
  (void)std::fclose(file);
  if (text == nullptr || length > static_cast<std::size_t>(CA_FILE_MAX_BYTES)) {
    std::free(text);
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot use the CA file %s: larger than %ld bytes",
                        path, CA_FILE_MAX_BYTES);
    return nullptr;
  }
  text[length] = '\0';
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  int count = 0;
  // Each block from its BEGIN line to its END line; text outside the blocks
  // (comments, other kinds of PEM blocks) is passed over.
  for (char* begin = std::strstr(text, PEM_BEGIN); store != nullptr && begin != nullptr;
       begin = std::strstr(begin, PEM_BEGIN)) {
    char* end = std::strstr(begin, PEM_END);
    if (end == nullptr) break;
    end += sizeof PEM_END - 1;
    DWORD block = static_cast<DWORD>(end - begin);
    DWORD size = 0;
    if (CryptStringToBinaryA(begin, block, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) && size > 0) {
      BYTE* der = static_cast<BYTE*>(std::malloc(size));
      if (der != nullptr &&
          CryptStringToBinaryA(begin, block, CRYPT_STRING_BASE64HEADER, der, &size, nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS, nullptr))
        count++;
      std::free(der);
    }
    begin = end;
  }
  std::free(text);
  if (store == nullptr || count == 0) {
    if (store != nullptr) CertCloseStore(store, 0);
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot use the CA file %s: no certificate in it",
                        path);
    return nullptr;
  }
  return store;
}

// A DNS name of a certificate, from the decoder's wide characters, for
// platform_tls_name_matches: anything outside ASCII becomes a byte that no
// name holds, so the name cannot match.
static int name_from_wide(const WCHAR* wide, std::size_t count, char* name, std::size_t size) {
  if (count >= size) return 0;
  for (std::size_t i = 0; i < count; i++) name[i] = wide[i] > 0 && wide[i] < 0x7F ? static_cast<char>(wide[i]) : '\x01';
  name[count] = '\0';
  return 1;
}

static const std::size_t NAME_SIZE = 256;  // a DNS name has at most 253 characters

// 1 when the certificate names `host`: an IP address entry equal to a dotted
// IPv4 host; for a name, a DNS entry that matches, or, only when there is no
// DNS entry at all, a common name that does (RFC 6125 6.4.4).
static int names_host(PCCERT_CONTEXT certificate, const char* host) {
  unsigned char address[4];
  bool is_address = platform_tls_ipv4_literal(host, address) != 0;
  bool has_dns_entry = false;
  int matched = 0;
  char name[NAME_SIZE];
  PCERT_INFO info = certificate->pCertInfo;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* entries = nullptr;
  DWORD size = 0;
  if (extension != nullptr &&
      CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                          CRYPT_DECODE_ALLOC_FLAG, nullptr, &entries, &size)) {
    for (DWORD i = 0; i < entries->cAltEntry && !matched; i++) {
      const CERT_ALT_NAME_ENTRY* entry = &entries->rgAltEntry[i];
      if (entry->dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
        has_dns_entry = true;
        const WCHAR* dns = entry->pwszDNSName;
        std::size_t count = dns != nullptr ? wcslen(dns) : 0;
        if (!is_address && name_from_wide(dns, count, name, sizeof name))
          matched = platform_tls_name_matches(name, count, host);
      } else if (entry->dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
        matched = is_address && entry->IPAddress.cbData == 4 && std::memcmp(entry->IPAddress.pbData, address, 4) == 0;
      }
    }
    LocalFree(entries);
  }
  if (matched || is_address || has_dns_entry) return matched;

  CERT_NAME_INFO* subject = nullptr;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, info->Subject.pbData, info->Subject.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &subject, &size))
    return 0;
  PCERT_RDN_ATTR common_name = CertFindRDNAttr(szOID_COMMON_NAME, subject);
  if (common_name != nullptr) {
    // The decoded value is wide characters, and its length counts them all,
    // a NUL inside included.
    std::size_t count = common_name->Value.cbData / sizeof(WCHAR);
    if (name_from_wide(reinterpret_cast<const WCHAR*>(common_name->Value.pbData), count, name, sizeof name))
      matched = platform_tls_name_matches(name, count, host);
  }
  LocalFree(subject);
  return matched;
}

// Why a chain whose status has `errors` is refused, in the words OpenSSL's
// verifier uses for the same faults; null for none.
static const char* chain_fault(DWORD errors, PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT leaf) {
  if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
  if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT)
    return chain->rgpChain[0]->cElement == 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID)
    return CertVerifyTimeValidity(nullptr, leaf->pCertInfo) < 0 ? "certificate is not yet valid"
                                                                 : "certificate has expired";
  if (errors & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsupported certificate purpose";
  return errors != 0 ? "the certificate chain is not valid" : nullptr;
}

// Checks the server's certificate: its chain and its names. Returns 1, or 0
// with the failure recorded ("certificate verify failed: ...").
static int check_certificate(PlatformTls* tls, const char* host, const char* ca_file) {
  PCCERT_CONTEXT leaf = nullptr;
  SECURITY_STATUS status = QueryContextAttributesA(&tls->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf);
  if (status != SEC_E_OK || leaf == nullptr) {
    fail_status("the server sent no certificate", status);
    return 0;
  }
  HCERTSTORE trusted = nullptr;
  HCERTSTORE others = leaf->hCertStore;  // what the server sent with its certificate
  HCERTSTORE collection = nullptr;
  if (ca_file != nullptr) {
    trusted = load_ca_file(ca_file);
    if (trusted == nullptr) {
      CertFreeCertificateContext(leaf);
      return 0;
    }
    collection = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection != nullptr) {
      (void)CertAddStoreToCollection(collection, leaf->hCertStore, 0, 0);
      (void)CertAddStoreToCollection(collection, trusted, 0, 0);
      others = collection;
    }
  }
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const char* fault = nullptr;
  if (!CertGetCertificateChain(nullptr, leaf, nullptr, others, &parameters, 0, nullptr, &chain) || chain == nullptr ||
      chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
    fault = "unable to get local issuer certificate";
  } else {
    // The nesting of validity periods is no fault (RFC 5280 6.1.3 checks
    // each certificate's own).
    DWORD errors = chain->TrustStatus.dwErrorStatus & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED);
    if (trusted != nullptr) {
      // Only the file's certificates are roots: the chain must end at one of
      // them, which the system, not knowing them, calls untrusted.
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      PCCERT_CONTEXT found = CertFindCertificateInStore(trusted, CERT_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
      if (found == nullptr) {
        fault = "unable to get local issuer certificate";
      } else {
        CertFreeCertificateContext(found);
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
      }
    }
    if (fault == nullptr) fault = chain_fault(errors, chain, leaf);
  }
  if (fault == nullptr && !names_host(leaf, host)) {
    unsigned char address[4];
    fault = platform_tls_ipv4_literal(host, address) ? "IP address mismatch" : "hostname mismatch";
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  if (collection != nullptr) CertCloseStore(collection, 0);
  if (trusted != nullptr) CertCloseStore(trusted, 0);
  CertFreeCertificateContext(leaf);
  if (fault == nullptr) return 1;
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "certificate verify failed: %s", fault);
  return 0;
}

// ---- sessions ----

static void free_session(PlatformTls* tls) {
  if (tls->have_context) DeleteSecurityContext(&tls->context);
  if (tls->have_credentials) FreeCredentialsHandle(&tls->credentials);
  std::free(tls);
}

// The alert that ends the session, sent if the socket takes it at once.
static void send_close_notify(PlatformTls* tls) {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc tokens = {SECBUFFER_VERSION, 1, &token};
  if (ApplyControlToken(&tls->context, &tokens) != SEC_E_OK) return;
  SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outputs = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextA(&tls->credentials, &tls->context, nullptr, REQUEST_FLAGS, 0, 0,
                                                      nullptr, 0, nullptr, &outputs, &attributes, &expiry);
  if (output.pvBuffer == nullptr) return;
  if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && output.cbBuffer > 0)
    (void)send_all(tls, static_cast<const char*>(output.pvBuffer), static_cast<int>(output.cbBuffer),
                   platform_monotonic_ms());
  FreeContextBuffer(output.pvBuffer);
}

PlatformTls* platform_tls_start(PlatformSocket socket, const char* host, const char* ca_file, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  PlatformTls* tls = static_cast<PlatformTls*>(std::calloc(1, sizeof(PlatformTls)));
  if (tls == nullptr) {
    fail_tls("out of memory");
    return nullptr;
  }
  tls->socket = socket;
  // The name goes out as SNI and keys Schannel's session cache; an address
  // is no name for SNI (RFC 6066 3).
  unsigned char address[4];
  const char* target = platform_tls_ipv4_literal(host, address) ? nullptr : host;
  int ready = acquire_credentials(tls) && handshake(tls, target, deadline) && check_certificate(tls, host, ca_file);
  if (ready) {
    SecPkgContext_ConnectionInfo connection;
    // Schannel was told which versions to speak; this holds it to that.
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK &&
        (connection.dwProtocol & CURRENT_PROTOCOLS) == 0) {
      fail_tls("the server spoke a TLS version older than 1.2");
      ready = 0;
    }
  }
  if (ready) {
    SECURITY_STATUS status = QueryContextAttributesA(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes);
    if (status != SEC_E_OK) {
      fail_status("cannot learn the TLS record sizes", status);
      ready = 0;
    }
  }
  if (!ready) {
    // A refused certificate ends the session with an alert, as OpenSSL's
    // clients do; a failed handshake has sent its own.
    int code = socket_last_error;
    if (tls->have_context && code == SOCKET_ERROR_TLS_FAILED) send_close_notify(tls);
    socket_last_error = code;
    free_session(tls);
    return nullptr;
  }
  return tls;
}

int platform_tls_send(PlatformTls* tls, const char* bytes, int length, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  const SecPkgContext_StreamSizes& sizes = tls->sizes;
  long room = static_cast<long>(sizeof tls->outgoing) - static_cast<long>(sizes.cbHeader) -
              static_cast<long>(sizes.cbTrailer);
  long most = static_cast<long>(sizes.cbMaximumMessage) < room ? static_cast<long>(sizes.cbMaximumMessage) : room;
  if (most <= 0) {
    fail_tls("TLS records too large for the buffer");
    return -1;
  }
  for (int sent = 0; sent < length;) {
    int chunk = length - sent < most ? length - sent : static_cast<int>(most);
    char* header = tls->outgoing;
    char* data = header + sizes.cbHeader;
    std::memcpy(data, bytes + sent, static_cast<std::size_t>(chunk));
    SecBuffer parts[4];
    parts[0] = {sizes.cbHeader, SECBUFFER_STREAM_HEADER, header};
    parts[1] = {static_cast<unsigned long>(chunk), SECBUFFER_DATA, data};
    parts[2] = {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, data + chunk};
    parts[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc list = {SECBUFFER_VERSION, 4, parts};
    SECURITY_STATUS status = EncryptMessage(&tls->context, 0, &list, 0);
    if (status != SEC_E_OK) {
      fail_status("cannot encrypt", status);
      return -1;
    }
    // The trailer may be shorter than its room: send what was written.
    int record = static_cast<int>(parts[0].cbBuffer + parts[1].cbBuffer);
    if (parts[2].cbBuffer > 0 && static_cast<char*>(parts[2].pvBuffer) != tls->outgoing + record)
      std::memmove(tls->outgoing + record, parts[2].pvBuffer, parts[2].cbBuffer);
    record += static_cast<int>(parts[2].cbBuffer);
    if (!send_all(tls, tls->outgoing, record, deadline)) return -1;
    sent += chunk;
  }
  return length;
}

// Hands out decrypted bytes waiting in `plain`.
static int hand_out(PlatformTls* tls, char* bytes, int capacity) {
  int count = tls->plain_length < capacity ? tls->plain_length : capacity;
  std::memcpy(bytes, tls->plain + tls->plain_start, static_cast<std::size_t>(count));
  tls->plain_start += count;
  tls->plain_length -= count;
  return count;
}

int platform_tls_receive(PlatformTls* tls, char* bytes, int capacity, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  for (;;) {
    if (tls->plain_length > 0) return hand_out(tls, bytes, capacity);
    if (tls->ended) return 0;
    if (tls->received == 0) {
      int got = receive_more(tls, deadline);
      if (got <= 0) return got;
    }
    SecBuffer parts[4];
    parts[0] = {static_cast<unsigned long>(tls->received), SECBUFFER_DATA, tls->incoming};
    for (int i = 1; i < 4; i++) parts[i] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc list = {SECBUFFER_VERSION, 4, parts};
    SECURITY_STATUS status = DecryptMessage(&tls->context, &list, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      int got = receive_more(tls, deadline);
      if (got <= 0) return got;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      fail_status("cannot decrypt", status);
      return -1;
    }
    // The plain text lies inside `incoming`: copy it out before the bytes
    // after the record are moved to the front.
    unsigned long extra = 0;
    for (int i = 1; i < 4; i++) {
      if (parts[i].BufferType == SECBUFFER_DATA && parts[i].cbBuffer > 0 &&
          parts[i].cbBuffer <= sizeof tls->plain) {
        std::memcpy(tls->plain, parts[i].pvBuffer, parts[i].cbBuffer);
        tls->plain_start = 0;
        tls->plain_length = static_cast<int>(parts[i].cbBuffer);
      }
      if (parts[i].BufferType == SECBUFFER_EXTRA) extra = parts[i].cbBuffer;
    }
    keep_last(tls, extra);
    if (status == SEC_I_CONTEXT_EXPIRED) tls->ended = true;
    // A handshake message after the handshake (a TLS 1.3 ticket or key
    // update): Schannel wants it passed to InitializeSecurityContext.
    if (status == SEC_I_RENEGOTIATE && !handshake(tls, nullptr, deadline)) return -1;
  }
}

void platform_tls_close(PlatformTls* tls) {
  if (tls == nullptr) return;
  int saved = socket_last_error;
  send_close_notify(tls);
  socket_last_error = saved;
  free_session(tls);
}
