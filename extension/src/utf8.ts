// The monitor mirrors documents as UTF-8 bytes while the editor counts UTF-16 code units.

/**
 * Number of UTF-8 bytes that the UTF-16 code units `text[start, end)` encode to.
 * A lone surrogate counts as the three bytes of the replacement character, which is what the
 * text becomes when it is written out as UTF-8.
 */
export function utf8Length(text: string, start = 0, end = text.length): number {
    let bytes = 0;
    for (let i = start; i < end; i++) {
        const unit = text.charCodeAt(i);
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < end) {
            const next = text.charCodeAt(i + 1);
            if (next >= 0xdc00 && next <= 0xdfff) {
                bytes += 4;
                i++;
            } else {
                bytes += 3;
            }
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

export function isHighSurrogate(unit: number): boolean {
    return unit >= 0xd800 && unit <= 0xdbff;
}

export function isLowSurrogate(unit: number): boolean {
    return unit >= 0xdc00 && unit <= 0xdfff;
}
