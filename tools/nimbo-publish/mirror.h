// A verifying local copy of an update repository, for fleets that update
// from their own web server: "nimbo-publish mirror". Everything upstream
// offers is checked as a client would check it before the mirror serves it,
// and the folder changes only when all of it passed. Failures throw
// std::runtime_error with a message for the operator.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/list_signature.h"
#include "http/tls_check.h"
#include "keyfile/key_file.h"
#include "proxy.pb.h"

namespace upd::publish {

struct mirror_options_t {
  std::string from;                      // the upstream repository's URL
  std::filesystem::path out;             // the mirror; its parent must exist
  std::vector<ed25519_key_t> list_keys;  // none: the built-in keys
  nb::Proxy proxy;
  std::time_t now = 0;  // judges the signature's expiry
  tls_check_t tls_check;  // of an HTTPS upstream
};

struct mirror_result_t {
  std::string serial;       // of the list now mirrored
  std::string zone;         // that its signature names; empty when unsigned
  std::size_t fetched = 0;  // listed files that were new or changed
  std::size_t removed = 0;  // listed no more
  bool list_changed = false;
  bool signature_changed = false;  // also when only it was renewed
};

// Fetches upstream's "version.lst" and checks its DSA signature with the
// publisher's key (the public half is enough) and that its serial is not
// older than the mirrored list's, by the clients' rule. Then
// "version.lst.sig": when offered, it must verify with one of the keys, not
// be expired and name the zone that the mirrored one named; it is required
// when list keys are given or the mirrored list had one. A serial longer
// than clients take is refused. A list equal to the mirrored one ends there (the signature
// alone may have been renewed). Otherwise every listed file whose mirrored
// copy differs is fetched, in its packed form "NAME.lzma" when upstream
// offers it (which then gives the plain form by unpacking) and plain
// otherwise, and must match its listed SHA-256 and size. All new files are
// then renamed into place (see staged_files_t): the data, then the list,
// then its signature; the files that only the old list named go last.
// Upstream's patch index "version.lst.patches", when it belongs to the list,
// comes with the patches it names for listed files (each bounded by its
// indexed size); otherwise the mirror's index and patches go.
//
// The whole run holds an exclusive lock on the folder (a second run fails
// at once), first removes the temporaries a killed run left there, and
// refuses to commit when the folder's list changed meanwhile to one that is
// not older. SIGTERM and SIGINT remove the run's temporaries.
mirror_result_t mirror_repository(const key_file_t& key, const mirror_options_t& options);

}  // namespace upd::publish
