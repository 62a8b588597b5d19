// The shared library is made of tarnwick_ffi; this unit gives it a source.
