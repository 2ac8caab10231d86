// Archive library; filled in as the format layer lands.
