// Support library: object lists, buffered streams, file search, path
// helpers and wildcard matching live in this folder's other files.
