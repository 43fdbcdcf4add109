// The toolkit's result codes: the one table of them for the whole system.
// Every toolkit function returns one of these (0 success) or, when it
// returns a value, leaves one as the calling thread's last result code.
// A chain verification result below 100 is a certificate verification
// error number handed through unchanged.
#pragma once

namespace quillon2 {

enum QlResult : int {
  QL_OK = 0,
  QL_ERR_MEMORY = 103,            // out of memory; a channel, message or store could not be made
  QL_ERR_NO_SIGNER_KEY = 106,     // no private key of the session matches a signer certificate
  QL_ERR_KEY_FILE = 107,          // a key file could not be read or decoded
  QL_ERR_CIPHER = 109,            // cipher name not recognised or not allowed
  QL_ERR_INPUT = 112,             // input file name empty or input cannot be opened
  QL_ERR_OUTPUT = 114,            // output cannot be written
  QL_ERR_SIGNER = 115,            // no signer set, or a signer could not be added
  QL_ERR_SET_CIPHER = 116,        // the cipher could not be set on the enveloped message
  QL_ERR_RECIPIENT = 117,         // no recipient list, or a recipient could not be added
  QL_ERR_CONTENT_START = 118,     // the content stream could not be started for writing
  QL_ERR_FINISH = 119,            // the message could not be finished
  QL_ERR_WRITE_MESSAGE = 122,     // the finished message could not be written
  QL_ERR_NOT_MESSAGE = 123,       // the input is not a message in DER or PEM
  QL_ERR_CANNOT_OPEN = 125,       // no recipient entry for any loaded key, or decryption failed
  QL_ERR_NO_SIGNERS = 127,        // the message has no signers
  QL_ERR_BAD_SIGNATURE = 128,     // at least one signature did not verify
  QL_ERR_SIGNER_CERT = 129,       // a signer certificate was not found
  QL_ERR_REQUIRED_SIGNER = 132,   // a certificate required to have signed did not sign
  QL_ERR_RECIPIENT_CERT = 134,    // a recipient certificate was not found
  QL_ERR_NOT_ENVELOPED = 138,     // the message is not an enveloped message
  QL_ERR_CRL_READ = 153,          // a CRL file could not be read
  QL_ERR_CRL_ADD = 154,           // a CRL could not be added to the store
  QL_ERR_CONTENT_READ = 158,      // the content of a signed message cannot be read
  QL_ERR_ARGUMENT = 159,          // bad or missing argument
  QL_ERR_BUFFER_SMALL = 160,      // the caller's buffer is too small; the needed length was stored
  QL_ERR_NOT_INITIALISED = 161,   // the toolkit is not initialised
  QL_ERR_NOT_SIGNED = 162,        // the message is not a signed message
  QL_ERR_SIGNATURE_FAILED = 163,  // a signature failed without a verification error number
  QL_ERR_TRUSTED_DECODE = 164,    // a trusted certificate could not be decoded
  QL_ERR_CERT_FILE = 166,         // the certificate file could not be read
  QL_ERR_KEY_PATH = 168,          // the key file path could not be built, or an old-format key not decoded
  QL_ERR_CONTAINER = 169,         // the key container could not be opened
  QL_ERR_STORE_ADD = 183,         // a certificate could not be added to the store
  QL_ERR_CANCELLED = 184,         // cancelled by the progress callback
  QL_ERR_CERT_DECODE = 186,       // the certificate bytes could not be decoded (neither DER nor PEM)
  QL_ERR_CERT_PRINT = 201,        // the text print of a certificate failed
};

}  // namespace quillon2
