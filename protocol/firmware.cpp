// Firmware images: the check of an image, its version text, and the update transfer of a link.
#include "protocol/tmgsm.h"

#include <cstdio>
#include <cstring>

namespace {

// Header fields, little-endian.
constexpr int CountAt = 0;
constexpr int DataMd5At = 4;
constexpr int HeaderCrcAt = 20;
constexpr int VersionAt = 24;
constexpr int BuildTimeAt = 28;
constexpr uint32_t VersionEnd = BuildTimeAt + 4;

// GetUpdCtx answer fields, big-endian.
constexpr int HeldAt = 0;
constexpr int PeerCountAt = 2;
constexpr int PeerDataMd5At = 4;
constexpr int PeerHeldMd5At = 20;

// A SetUpdBlk item: the code byte, the count byte and at least one block.
constexpr uint32_t MinItemSpace = 2 + UPD_BLOCK_SIZE;
constexpr uint32_t MaxBlocksPerItem = 128;

uint32_t ImageCount(const uint8_t* image) {
    return Get_U32LE(image + CountAt);
}

// Image kind of a version word: 0xFFFF, 0xFFFE, 0xFFFD and 0xFFFC in the top half give 1 to 4.
uint8_t ImageKind(uint32_t word) {
    uint32_t top = word >> 16;
    return top >= 0xFFFC ? static_cast<uint8_t>(0x10000 - top) : 0;
}

void FormatVersion(const uint8_t* image, char* area, uint8_t* kind) {
    uint32_t word = Get_U32LE(image + VersionAt);
    *kind = ImageKind(word);
    uint8_t digits[4];
    Ver_Digits(word, *kind != 0, digits);
    TmDate built{};
    Tm_SecsToDate(Get_U32LE(image + BuildTimeAt), &built);
    snprintf(area, UPD_TEXT_SIZE, "m%02d.%02d p%02d.%02d (%02d/%02d/%04d %02d:%02d)", digits[0], digits[1],
             digits[2], digits[3], built.day, built.month, built.year, built.hour, built.minute);
}

bool HeaderAndDataValid(const uint8_t* image, uint32_t size) {
    if (size < UPD_BLOCK_SIZE || Crc32(image, HeaderCrcAt) != Get_U32LE(image + HeaderCrcAt))
        return false;
    uint64_t count = ImageCount(image);
    // The count is the image's own claim; the buffer must really hold that many blocks.
    if (count == 0 || (count + 1) * UPD_BLOCK_SIZE > size)
        return false;
    uint8_t digest[16];
    Md5_Digest(image + UPD_BLOCK_SIZE, static_cast<uint32_t>(count * UPD_BLOCK_SIZE), digest);
    return Mem_Equal(digest, image + DataMd5At, 16);
}

bool ImageValid(const UpdCtx* upd) {
    return UpdImg_Check(upd->Image, upd->ImageSize, nullptr, nullptr);
}

uint8_t PercentOf(uint64_t blocks, uint32_t count) {
    return static_cast<uint8_t>(blocks * 100 / (count + uint64_t{1}));
}

// Does the modem's partial image, described by a GetUpdCtx answer, belong to this image?
bool PeerHoldsThisImage(const uint8_t* image, const uint8_t* answer, uint16_t held) {
    uint32_t count = ImageCount(image);
    // A modem claiming more blocks than the image has cannot be holding this image.
    if (count != Get_U16BE(answer + PeerCountAt) || held > count + 1 ||
        !Mem_Equal(image + DataMd5At, answer + PeerDataMd5At, 16))
        return false;
    if (held <= 1)
        return true;
    uint32_t bytes = (held - 1u) * UPD_BLOCK_SIZE;
    uint8_t hash[16];
    if (held - 1u == count)
        Md5_Digest(image + UPD_BLOCK_SIZE, bytes, hash);
    else
        Md5_RawState(image + UPD_BLOCK_SIZE, bytes, hash);
    return Mem_Equal(hash, answer + PeerHeldMd5At, 16);
}

} // namespace

int UpdImg_Check(const uint8_t* image, uint32_t size, char* text, uint8_t* kind) {
    char area[UPD_TEXT_SIZE] = {};
    uint8_t imageKind = 0;
    if (image && size >= VersionEnd)
        FormatVersion(image, area, &imageKind);
    if (text)
        memcpy(text, area, UPD_TEXT_SIZE);
    if (kind)
        *kind = imageKind;
    return image && HeaderAndDataValid(image, size);
}

const uint8_t* HCP_UpdCtx(const uint8_t* answer, uint32_t avail, UpdCtx* upd) {
    if (avail < UPD_CTX_ANSWER_SIZE)
        return nullptr;
    const uint8_t* end = answer + UPD_CTX_ANSWER_SIZE;
    uint16_t held = Get_U16BE(answer + HeldAt);
    upd->Flags |= UPD_CTX_KNOWN;
    upd->Percent = 0;
    if (!ImageValid(upd)) {
        upd->Flags = (upd->Flags | UPD_INVALID) & ~(UPD_CTX_KNOWN | UPD_RESTART);
        upd->NextBlock = 0;
        return end;
    }
    upd->Flags &= ~UPD_RESTART;
    upd->NextBlock = held;
    if (held == 0)
        return end;
    if (!PeerHoldsThisImage(upd->Image, answer, held)) {
        upd->Flags |= UPD_RESTART;
        upd->NextBlock = 0;
    } else if (held > 1) {
        upd->Percent = PercentOf(held, ImageCount(upd->Image));
    }
    return end;
}

uint32_t Upd_PutBlocks(UpdCtx* upd, uint8_t* out, uint32_t space) {
    upd->Flags &= ~UPD_COMPLETE;
    if (!ImageValid(upd)) {
        upd->Flags = (upd->Flags | UPD_INVALID) & ~UPD_CTX_KNOWN;
        return 0;
    }
    if (!(upd->Flags & UPD_CTX_KNOWN) || space < MinItemSpace)
        return 0;
    uint32_t k = (space - 2) / UPD_BLOCK_SIZE;
    if (upd->Flags & UPD_RESTART) {
        upd->Flags &= ~UPD_RESTART;
        upd->NextBlock = 0;
    }
    uint32_t count = ImageCount(upd->Image);
    uint32_t total = count + 1;
    if (upd->NextBlock >= total) {
        upd->Flags = (upd->Flags | UPD_COMPLETE) & ~UPD_CTX_KNOWN;
        return 0;
    }
    uint32_t left = total - upd->NextBlock;
    k = k < left ? k : left;
    k = k < MaxBlocksPerItem ? k : MaxBlocksPerItem;

    out[0] = CMD_SET_UPD_BLK;
    out[1] = static_cast<uint8_t>((k - 1) | (upd->NextBlock == 0 ? 0x80 : 0));
    Mem_Copy(out + 2, upd->Image + upd->NextBlock * UPD_BLOCK_SIZE, k * UPD_BLOCK_SIZE);
    upd->NextBlock += k;
    if (upd->NextBlock >= total)
        upd->Flags = (upd->Flags | UPD_COMPLETE) & ~UPD_CTX_KNOWN;
    upd->Percent = PercentOf(upd->NextBlock, count);
    return 2 + k * UPD_BLOCK_SIZE;
}

int HCC_UpdBlk(uint32_t versionNo, uint8_t* block, uint8_t** pos, UpdCtx* upd, uint8_t mode) {
    uint32_t n = Upd_PutBlocks(upd, *pos, static_cast<uint32_t>(Cmd_Space(versionNo, block, *pos, mode)));
    *pos += n;
    return n != 0;
}
