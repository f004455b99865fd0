// Result codes of the engine. Every engine operation returns one of these as a signed int.
#pragma once

enum {
    DISK_OK = 0,
    DISK_CANCELLED = 1,      // stopped by the progress callback or the file opener
    DISK_ERR_OPEN = -201,    // the file opener could not open the file (ends probing)
    DISK_ERR_READ = -202,    // a read failed or was short
    DISK_ERR_WRITE = -203,   // a write failed
    DISK_ERR_SIZE = -204,    // the size of a stream could not be taken
    DISK_ERR_NOMEM = -205,   // out of memory
    DISK_ERR_FORMAT = -206,  // not this format: bad signature, checksum, version, size or table
    DISK_ERR_ARG = -207,  // bad argument, range beyond the disk, missing operation, path too long
    DISK_ERR_CREATE = -208,    // an output or temporary file cannot be created, renamed or removed
    DISK_ERR_DEVICE = -209,    // a device node cannot be opened
    DISK_ERR_PASSWORD = -210,  // an encrypted image was opened without a key
    DISK_ERR_KEY_LENGTH = -211,     // a key whose length is not 16 bytes, or a wrong key
    DISK_ERR_FS_CORRUPT = -212,     // inconsistent partition table, file system or LVM2 structure
    DISK_ERR_NTFS_METADATA = -213,  // NTFS records needed for the cluster bitmap were not found
    DISK_ERR_MKDIR = -214,          // a bundle directory cannot be made
    DISK_ERR_PLUGIN = -215,         // a plug-in module failed and holds its own message text
    DISK_ERR_UNSUPPORTED =
        -216,  // a file system without a driver, or a plug-in without the entry point
    DISK_ERR_SNAPSHOTS = -217,  // an image has internal snapshots and the caller refused them
    DISK_ERR_BACKUP_EXISTS =
        -218,               // a file lies under a backup ("_del") name that may not be replaced
    DISK_ERR_IN_USE = -219  // another in-place operation holds the image's files (nothing done)
};
