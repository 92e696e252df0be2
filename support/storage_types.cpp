// The magic numbers of the file systems whose changes all pass through this kernel.
#include "storage_types.h"

namespace kel {

bool has_local_change_events(int64_t file_system_type) {
    // Magic numbers of <linux/magic.h>, written out: not every one is in every
    // version of the header.
    switch (static_cast<uint32_t>(file_system_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0xF2F52010:  // f2fs
        case 0x52654973:  // reiserfs
        case 0x3153464A:  // jfs
        case 0x2FC12FC1:  // zfs
        case 0xCA451A4E:  // bcachefs
        case 0x3434:      // nilfs2
        case 0x482B:      // hfsplus
        case 0x4D44:      // vfat, msdos
        case 0x2011BAB0:  // exfat
        case 0x7366746E:  // ntfs3
        case 0x5346544E:  // ntfs
        case 0x15013346:  // udf
        case 0x24051905:  // ubifs
        case 0x72B6:      // jffs2
        // Overlay (containers): changes made through the overlay are reported; one
        // made below it, straight into a layer, is not, which no server does.
        case 0x794C7630:
            return true;
        default:
            return false;
    }
}

}  // namespace kel
