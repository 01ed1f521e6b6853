"""AES-256-IGE: encrypt a padded payload and decrypt it back."""

import os

from velmora import crypto

key = os.urandom(32)
iv = os.urandom(32)  # previous-ciphertext block, then previous-plaintext block
payload = b"velmora says hello over IGE"
padded = payload + os.urandom(-len(payload) % 16)  # IGE works on whole 16-byte blocks

cipher = crypto.ige_encrypt(padded, key, iv)
plain = crypto.ige_decrypt(cipher, key, iv)

print("IGE plaintext :", padded.hex())
print("IGE ciphertext:", cipher.hex())
print("IGE decrypted :", plain[: len(payload)].decode())
assert plain == padded
