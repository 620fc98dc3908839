// The object file the tests' precompiled headers are made with.
