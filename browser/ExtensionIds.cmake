# The extension's identities, which the native host checks and its manifests name.
# Chromium: the id follows from the public key pinned in the manifest (browser/extension/
# public-key.pem): the first 32 hex digits of SHA-256 over the DER key, 0-f written a-p.
# tests/browser checks that they agree. Firefox: the gecko id of the manifest.
set(FERRANT_EXTENSION_ID "nccfoafgejplbbkpfbimlkcanilnnnog")
set(FERRANT_GECKO_ID "ferrant@corvel.example")
