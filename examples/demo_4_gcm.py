"""AES-256-GCM: seal a message with associated data, then open it."""

import os

from velmora import crypto

key = os.urandom(32)
nonce = os.urandom(12)  # never reuse a nonce with the same key
aad = b"frame header"
sealed = crypto.gcm_encrypt(key, nonce, b"meet at the usual place", aad)
print("GCM sealed (ciphertext + tag):", sealed.hex())
print("GCM opened:", crypto.gcm_decrypt(key, nonce, sealed, aad).decode())

forged = sealed[:-1] + bytes([sealed[-1] ^ 1])
try:
    crypto.gcm_decrypt(key, nonce, forged, aad)
except RuntimeError as err:
    print("GCM forged tag refused:", err)
