// Round trips through this system's own writer: to be filled when TArcZip's
// Zip operation is built. Nothing here runs yet, on purpose: the archives of
// the other round-trip tests come from Info-ZIP zip and Python's zipfile
// (unzip_extract_test.cpp), and a test standing in for the writer would
// prove nothing about it.
//
// What belongs here, once Zip exists (this suite then links zem_writer):
//  - a card-like tree zipped at every PackLevel 0 to 9, without and with a
//    Password, extracted by UnZip to the same bytes, times and attributes;
//  - the same archives passing TestZip with no failure;
//  - a wrong Password on a writer archive taking the bad-password path, and
//    OnBadPassword supplying the right one;
//  - the writer's encryption header check byte (from the CRC, or from the
//    time when a data descriptor is written) accepted by the reader.
