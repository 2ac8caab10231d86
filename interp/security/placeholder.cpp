// Security library; filled in with the hashing layer.
