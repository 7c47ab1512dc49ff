Hello, world!
