// Nothing of its own: the target exists to build the tests' shared precompiled header.
