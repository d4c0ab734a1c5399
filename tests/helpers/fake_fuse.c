/* A stand-in libfuse.so.2 that has only fuse_version(): enough for the
   loader's version and release checks, and missing everything after them. */
int fuse_version(void) { return FAKE_API; }
