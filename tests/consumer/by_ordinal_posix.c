/* Ordinals are a Windows export table matter: nothing to check here. */
int CheckByOrdinal(void) { return 0; }
