#pragma once

class SAData;
class SAString;
class SAColor;
class SADictionary;
class SAMutableArray;
class SAMutableDictionary;

/// Value of the first four bytes of `text` read as hexadecimal digits: 0-9 count
/// as 0-9, any letter A-Z as its code - 55, a-z as its code - 87; other bytes are
/// skipped. Stops early at a NUL; null gives 0.
unsigned long long hexaToUnsignedLongLong(const char* text);

// Reduces decoded text bodies to what a reader sees, measuring on the way the
// tricks bulk mail uses to hide text or pad a message.
//
// simplifiedHTML keeps visible text, a few normalised structural tags and every
// unknown tag, and drops scripts, comments, the head, invisible text and known
// presentational tags. enrichedToPlain turns text/enriched into plain text.
// simplifiedPseudoHTML strips short bracketed words from plain text that
// imitates HTML; containsPseudoTags tells when that is needed.
//
// The trick flags are process-wide: they are only ever set here. A caller
// clears them (clearHTMLTrickFlags, or enrichedWhiteTrick = false) before a
// call and reads them right after. Not thread-safe: the flags and the lazily
// built tables are shared state.
class SATextTranslator {
public:
    SATextTranslator() = delete;

    // Trick flags set by simplifiedHTML.
    /// Text that looked visible was written in a colour the reader cannot see.
    static bool htmlWhiteTrick;
    /// A P or FONT tag used a 0px or 1px font size.
    static bool htmlSmallFontTrick;
    /// Too many unknown tags.
    static bool tooManyWrongHTMLTags;
    /// More than 10 SPAN tags with display:none.
    static bool tooManySpanDisplayNone;
    /// More than 30 visible characters after "</html>".
    static bool htmlAfter;
    /// Layout patterns of floating or hidden blocks.
    static bool floatLeftClearBothTrick;
    /// Set by enrichedToPlain: text/enriched used a white or near-white colour.
    static bool enrichedWhiteTrick;

    /// Clears the six flags simplifiedHTML sets.
    static void clearHTMLTrickFlags();

    /// New owning data with the simplified HTML of `data` (caller releases), or
    /// null for null or empty input or when memory runs out. Sets the HTML
    /// trick flags.
    static SAData* simplifiedHTML(SAData* data);
    /// New owning data: `data` with its short bracketed words removed, or null.
    static SAData* simplifiedPseudoHTML(SAData* data);
    /// New owning data with the plain text of text/enriched `data`, or null.
    /// Sets enrichedWhiteTrick.
    static SAData* enrichedToPlain(SAData* data);

    // Buffer forms: *out receives a malloc'ed buffer of `length` bytes (the
    // output never grows) that the caller frees; *outLength the bytes written.
    // 0 on success, -1 for a null or empty input or a failed allocation (then
    // *out is null and *outLength 0).
    static int simplifiedHTMLBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                    unsigned long* outLength);
    static int simplifiedPseudoHTMLBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                          unsigned long* outLength);
    static int enrichedToPlainBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                     unsigned long* outLength);

    /// True when more than 10 places of `data` are "<", 0 to 14 ASCII letters or
    /// digits and ">".
    static bool containsPseudoTags(SAData* data);

    /// Looks the tag name (`length` bytes, cut at its first ":") up in the tag
    /// table, ignoring case. A known name sets *dropOut to whether the tag is
    /// left out of the simplified output and returns true; a name starting with
    /// "?" is known and dropped; an unknown name returns false and leaves
    /// *dropOut alone. The caller's buffer is not modified.
    static bool isHTMLTagKnown(const char* name, unsigned long length, bool* dropOut);
    /// The tag table: 99 upper-case names mapped to their keep flag (an SANumber
    /// bool), built on first use and kept for the run. Borrowed.
    static SAMutableDictionary* tagTable();
    static SAMutableDictionary* sHTMLTagsDictionary_;

    /// New dictionary of the attributes of a tag, given its text between "<"
    /// and ">" (name included; the name is skipped). Names are kept as written,
    /// values trimmed; look them up ignoring case. Caller releases.
    static SAMutableDictionary* attributesForHTMLTag(const char* text, int length);
    /// New dictionary of the CSS declarations of a STYLE attribute value (the
    /// first word of each value). Caller releases; null `style` gives an empty one.
    static SAMutableDictionary* attributesForHTMLAttribute(const SAString* style);

    /// New colour of the BGCOLOR attribute, or null when there is none.
    static SAColor* copyColorAttribute(const SADictionary* attributes);
    /// Pushes a colour item {"Color", "Tag", optional "Background"} for `tag`:
    /// the colour is the BGCOLOR of `attributes`, else the colour of the top item;
    /// nothing is pushed when neither exists.
    static void addColorItemToStack(const SADictionary* attributes, SAString* tag, SAMutableArray* stack);

    // Attribute names and values compared (ignoring case) by the simplifier,
    // and the keys of the colour-stack items. Borrowed; never release them.
    static SAString* const sHTMLTAG_BGCOLOR;
    static SAString* const sHTMLTAG_COLOR;
    static SAString* const sHTMLTAG_TEXT;
    static SAString* const sHTMLTAG_STYLE;
    static SAString* const sHTMLTAG_BORDERWIDTH;
    static SAString* const sHTMLTAG_MARGINLEFT;
    static SAString* const sHTMLTAG_FONTSIZE;
    static SAString* const sHTMLTAG_FLOAT;
    static SAString* const sHTMLTAG_CLEAR;
    static SAString* const sHTMLTAG_DISPLAY;
    static SAString* const sHTMLTAG_VISIBILITY;
    static SAString* const sHTMLTAG_TH;
    static SAString* const sHTMLTAG_TD;
    static SAString* const sHTMLTAG_TR;
    static SAString* const sHTMLTAG_TABLE;
    static SAString* const sHTMLTAG_BODY;
    static SAString* const sBackgroundString;
    static SAString* const sBackgroundImageString;
    static SAString* const sZeroPixel;
    static SAString* const sOnePixel;
    static SAString* const sNone;
    static SAString* const sLeft;
    static SAString* const sRight;
    static SAString* const sBoth;
    static SAString* const sHidden;
    static SAString* const sColorString;
    static SAString* const sTagString;
};
