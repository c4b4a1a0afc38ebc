#pragma once

#include "mailparse/SAEncodedString.h"
#include "mailparse/SAObject.h"

class SAArray;
class SAData;
class SADictionary;
class SAMutableArray;
class SAMutableDictionary;
class SAString;

const char* GETIDSAMIMEPart();
const char* GETNAMESAMIMEPart();

/// The line-end byte of single-byte line-end mode, shared by the whole process:
/// LF (10) at start. A caller that parses messages with CR line ends sets it to
/// CR (13) before a parse and back to LF after it, never during one.
extern char MIME_EOL_CHAR;

/// Content-type codes of a part (field _contentType).
enum SAMIMEContentType : int {
    SAMIMETypeMultipart = 0,
    SAMIMETypeMessage = 1,
    SAMIMETypeText = 2,
    SAMIMETypeApplication = 3,
    SAMIMETypeImage = 4,
    SAMIMETypeVideo = 5,
    SAMIMETypeAudio = 6,
    SAMIMETypeOther = 7,
};

/// Subtype codes of a part (field _subtype). 17 is not used.
enum SAMIMESubtype : int {
    SAMIMESubtypePlain = 0,
    SAMIMESubtypeHTML = 1,
    SAMIMESubtypeRichtext = 2,
    SAMIMESubtypeEnriched = 3,
    SAMIMESubtypeCalendar = 4,
    SAMIMESubtypeDirectory = 5,
    SAMIMESubtypeMixed = 6,
    SAMIMESubtypeAlternative = 7,
    SAMIMESubtypeParallel = 8,
    SAMIMESubtypeDigest = 9,
    SAMIMESubtypeRelated = 10,
    SAMIMESubtypeReport = 11,
    SAMIMESubtypeSigned = 12,
    SAMIMESubtypeEncrypted = 13,
    SAMIMESubtypeRFC822 = 14,
    SAMIMESubtypeOctetStream = 15,
    SAMIMESubtypeDeliveryStatus = 16,
    SAMIMESubtypeOther = 18,
};

/// Transfer-encoding codes of a part (field _transferEncoding).
enum SAMIMETransferEncoding : int {
    SAMIMEEncodingIdentity = 0,
    SAMIMEEncodingQuotedPrintable = 1,
    SAMIMEEncodingBase64 = 2,
    SAMIMEEncodingUuencode = 3,
};

/// Results of process() besides the header callback's own values.
inline constexpr int SAMIMEProcessSuccess = 0;
inline constexpr int SAMIMEProcessFailure = -1;
/// A top-level message with a body of at most 4 bytes and no (or an empty) Subject.
inline constexpr int SAMIMEProcessEmptyMessage = 8;
/// The deepest part that is parsed; a part below it makes process() fail.
inline constexpr int SAMIMEMaximumDepth = 100;

/// Header names, parameter names and keys used by the parser (borrowed; built
/// at start-up, never released).
extern SAString* const sContentTypeKey;              // "Content-Type"
extern SAString* const sContentTransferEncodingKey;  // "Content-Transfer-Encoding"
extern SAString* const sContentDispositionKey;       // "Content-Disposition"
extern SAString* const sSubjectKey;                  // "Subject"
extern SAString* const sFromKey;                     // "From"
extern SAString* const sMessageIDKey;                // "Message-ID"
extern SAString* const sReceivedKey;                 // "Received"
extern SAString* const sXMailer;                     // "X-Mailer"
extern SAString* const sBoundaryKey;                 // "boundary"
extern SAString* const sCharset;                     // "charset"
extern SAString* const sEncoding;                    // "encoding"
extern SAString* const sNameKey;                     // "name"
extern SAString* const sFilenameKey;                 // "filename"
extern SAString* const sCtypeKey;                    // "Ctype" (parsed Content-Type)
extern SAString* const sSubtypeKey;                  // "subtype" (parsed Content-Type)

/// Keys of a URL record (an SAMutableDictionary, see extractURLsFromData).
extern SAString* const sURLArobacedKey;     // "Arobaced"
extern SAString* const sURLBackpathedKey;   // "Backpathed"
extern SAString* const sURLEncodedKey;      // "Encoded"
extern SAString* const sURLRedirectedKey;   // "Redirected"
extern SAString* const sURLURLKey;          // "URL"
extern SAString* const sOriginalURLURLKey;  // "Original URL"

/// The header callback: called with a top-level part's headers before its body
/// is parsed; a non-zero result ends parsing and is returned by process().
using SAMIMEHeaderCallback = int (*)(SADictionary* headers, void* context);

// One part of a parsed message: its headers, its classification, its decoded
// and simplified content, its URLs and addresses, and its child parts. The top
// part of a message is built from the message's raw bytes and parsed once by
// process(); the tree is read-only afterwards. Children and header/body views
// point into the top part's raw bytes, which the top part retains.
//
// The fields are read directly by filter plug-ins: their order and meaning
// are fixed.
class SAMIMEPart : public SAObject {
public:
    /// Retains `data`; nothing is parsed until process(). `lfLineEnds` true:
    /// lines end with MIME_EOL_CHAR; false: with CR LF.
    SAMIMEPart(SAData* data, bool lfLineEnds, SAMIMEHeaderCallback callback, void* context);
    ~SAMIMEPart() override;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    /// Debug dump of the tree on standard output: headers, then children or
    /// the content's hex dump, then the URL and address lists.
    void description() override;

    /// Parses the part and its whole subtree. 0 on success; −1 when nesting is
    /// too deep or a child failed; 8 for a top-level message (isMessage) whose
    /// body is at most 4 bytes and that has no or an empty Subject; any other
    /// non-zero value is the header callback's result (not called when
    /// skipCallback is true).
    int process(bool isMessage, bool skipCallback);

    /// First value of the header `name` (case-insensitive) or null; borrowed.
    SAString* headerValueForKey(SAString* name);
    /// New encoded string of the first Subject / From value; null when absent.
    SAEncodedString* copySubject();
    SAEncodedString* copyFrom();
    /// New copy of the first Message-ID value; null when absent.
    SAString* copyMessageID();
    /// The bare address of the first value of header `name`; null when absent.
    SAString* copyAddressFromField(SAString* name);
    /// The bare address of an address header value (new string): comments and
    /// quoted text removed, blanks dropped, the text inside <...> when present.
    static SAString* copyAddress(SAString* value);
    /// The charset code (SAStringEncodings) of the part.
    SAStringEncodings charset() const { return _charset; }
    /// The charset name the part declares (lower-cased, unquoted), null when
    /// it declares none; borrowed. Decoders read the text by this name, which
    /// tells more than the code (an unknown name has code 0 too).
    SAString* charsetName() const { return _charsetName; }

    /// New copy of `value` without leading/trailing blanks and without RFC 822
    /// comments (parentheses outside quotes); null for null.
    SAString* copyWithoutComments(SAString* value);
    /// New copy of `value` where each line end followed by spaces and tabs
    /// becomes one space (keepSpace) or vanishes together with them.
    SAString* copyWithoutLinearWhiteSpace(SAString* value, bool keepSpace);
    /// New dictionary of a Content-Type value: "Ctype", "subtype" and every
    /// parameter, names and values lower-cased.
    SAMutableDictionary* parseContentType(SAString* value);
    /// The transfer-encoding code of the part's Content-Transfer-Encoding.
    int findTransferEncoding();
    /// Offset of the blank line ending the header: 0 when the data starts with
    /// a line end, the data's length when there is none.
    unsigned long findStartOfContent();
    /// Fills the headers dictionary from the header block.
    void buildHeaderDictionary();
    /// Classifies a part that has no body; returns 0.
    int buildHeader();
    /// Classifies the part, decodes and analyses its body, builds children.
    int buildContent();

    /// New list of URL records found in `text` (null for null or ≤ 8 bytes).
    /// `subtype` 0 plain, 1 HTML, 2 richtext, 3 enriched selects the rules; in
    /// HTML mode the links are overwritten with spaces in `text`.
    static SAMutableArray* extractURLsFromData(SAData* text, SAMIMESubtype subtype);
    /// New list of the e-mail addresses (SAString) found in `text`, in order,
    /// duplicates included; null for null or ≤ 8 bytes.
    static SAMutableArray* extractEmailsFromData(SAData* text, SAMIMESubtype subtype);

    // Tree predicates: true when this part or any part below it qualifies.
    bool usesWhiteTrick();
    bool usesSmallFontTrick();
    bool usesTooManyWrongTags();
    bool usesSpamCharset();
    bool usesAfterHTML();
    bool usesTooManySpanDisplayNone();
    bool usesFloatLeftTrick();
    bool hasBoundaryForSinglePart();
    /// Some text/html part is sent base64 without a Content-Disposition.
    bool useTextBase64Encoding();
    /// Multipart structure that ordinary mail programs do not produce.
    bool hasStrangeHierarchy();
    bool containsJapaneseCharset();
    bool containsExoticCharset();

    /// Present for callers of the wider interface; always null.
    SAArray* receivedFromAddresses();
    /// Present for callers of the wider interface; always false.
    bool containsFileAttachmentWithExtensions(SAArray* extensions);
    /// Host of an "http://" link (new string), a numeric host written as a
    /// dotted quad; null for other input.
    static SAString* getDomainNameFromURL(SAString* url);
    /// New string of the last bracketed dotted number group ("[1.2.3.4]" or
    /// "(1.2.3.4)") in `s`, or null.
    static SAString* findAddressInString(SAString* s);
    /// New string with the dot-separated components of `s` in reverse order.
    static SAString* reverseIPAddress(SAString* s);

    // Fields in their fixed order.
    bool _lfLineEnds;                      // 1 line-end mode
    SAData* _header;                       // 2 raw header block (a view) or null
    SAData* _body;                         // 3 raw body (a view) or null
    SAStringEncodings _charset;            // 4 −1 until classified
    int _transferEncoding;                 // 5 SAMIMETransferEncoding
    int _contentType;                      // 6 SAMIMEContentType
    int _subtype;                          // 7 SAMIMESubtype
    SAMutableArray* _parts;                // 8 child parts in order
    SAMutableDictionary* _headers;         // 9 name -> SAMutableArray of SAString values
    SAData* _data;                         // 10 the part's raw bytes (retained)
    SAData* _textContent;                  // 11 decoded body of a text part, else null
    SAData* _content;                      // 12 decoded body of a text part, else the raw body
    SAData* _simplifiedText;               // 13 simplified HTML / enriched / pseudo-HTML text
    SAMIMEHeaderCallback _headerCallback;  // 14
    void* _callbackContext;                // 15
    bool _whiteTrick;                      // 16
    bool _smallFontTrick;                  // 17
    bool _tooManyWrongTags;                // 18
    bool _spamCharset;                     // 19
    bool _afterHTML;                       // 20
    bool _boundaryForSinglePart;           // 21
    bool _tooManySpanDisplayNone;          // 22
    bool _floatLeftTrick;                  // 23
    SAArray* _urls;                        // 24 URL records or null
    SAArray* _addresses;                   // 25 addresses or null
    int _depth;                            // 26 0 for the top part
    SAString* _charsetName;                // 27 declared charset name or null

    static const char* _className;
    static const char* _classTypeID;

private:
    SAMIMEPart(SAData* data, bool lfLineEnds, int depth);
    void reset();
    void classify(SAMutableDictionary* contentType);
    void setCharsetFrom(SAMutableDictionary* contentType);
    SAMutableDictionary* copyParsedContentType();
    SAData* decodedBody();
    void analyseText(SAString* subtype);
    void analysePlainText(bool testPseudoTags);
    int splitMultipart(SAString* boundary);
    SAMIMEPart* newChild(unsigned long start, unsigned long end);
};
