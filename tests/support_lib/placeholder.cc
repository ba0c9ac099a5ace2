// test support
