// Archive format: records, CRC-32 and the traditional cipher
// live in this folder's other files.
