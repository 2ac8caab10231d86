// Network library; filled in with the BOOTP and TFTP clients.
