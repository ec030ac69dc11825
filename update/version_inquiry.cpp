#include "logview/log_view.h"
#include "sysfile/system_file.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

namespace {

// The inquiry's working data; its texts are never shown.
struct InquiryRun {
    SystemFileHeader header;
    unsigned char reply[REPLY_BUFFER_SIZE];
    char versionText[TEXT_SIZE];
    char errorText[TEXT_SIZE];
};

InquiryRun g_versionInquiry;

// One request of the inquiry and its reply; ExchangeMessage's result. A reply that the
// device check refused names the product that sent it in answer.
int AskInstrument(int length, int timeoutTicks, int expectedCode, InstrumentAnswer* answer) {
    InquiryRun& q = g_versionInquiry;
    const int pos = ExchangeMessage(g_updateEngine.messageBuffer, length, q.reply, &q.header,
                                    expectedCode, q.errorText, timeoutTicks);
    if (pos == 0 && LastReceiveResult() == TRANSPORT_DONE) {
        answer->otherProduct = ReplyOtherProductId(q.reply, &q.header, answer->productId);
    }
    return pos;
}

int InquireVersionOfBlock(const SystemFileHeader* header, int deviceType,
                          InstrumentAnswer* answer) {
    InquiryRun& q = g_versionInquiry;
    UpdateEngine& e = g_updateEngine;
    unsigned char* msg = e.messageBuffer;
    q.header = *header;
    e.deviceType = deviceType;
    *answer = InstrumentAnswer{};

    int pos =
        AskInstrument(BuildInquiry(msg, &q.header), TIMEOUT_TICKS_SHORT, MSG_INQUIRY_REPLY, answer);
    if (pos == 0) {
        return INQUIRE_NO_ANSWER;
    }
    if (pos > 0) {
        const int decoded = DecodeInquiryReply(q.reply, pos, &answer->inquiry, q.errorText);
        e.protocolCode = answer->inquiry.protocolCode;
        if (!decoded) {
            return INQUIRE_NO_ANSWER;
        }
        answer->inquiryRead = 1;
    } else {
        // The instrument's own product id was adopted into the working copy.
        e.protocolCode = PROTOCOL_CODE_14BIT;
    }

    pos = AskInstrument(BuildVersionRequest(msg, &q.header), TIMEOUT_TICKS_LONG, MSG_VERSION_REPLY,
                        answer);
    if (pos <= 0) {
        // REPLY_ID_ADOPTED here means yet another product id: no trustworthy version either.
        return INQUIRE_NO_ANSWER;
    }
    const unsigned char major = q.reply[pos];
    const unsigned char minor = q.reply[pos + 1];
    for (int i = 0; i < 3; i++) {
        answer->productId[i] = q.header.productId[i];
    }
    answer->versionMajor = major;
    answer->versionMinor = minor;
    const int result = VersionAtLeast(major, minor, header->versionMajor, header->versionMinor)
                           ? INQUIRE_UP_TO_DATE
                           : INQUIRE_UPDATE_NEEDED;
    TextFormat(q.versionText, sizeof q.versionText, "%d.%02d", major, minor);
    if (result == INQUIRE_UPDATE_NEEDED) {
        TextAppend(q.versionText, sizeof q.versionText, " (needs update)");
    }
    InfoPutDetails(INFO_LABEL_RIGHT, 2, "Software Version :", INFO_BOLD, INFO_KEEP_ROW,
                   INFO_ALIGN_RIGHT);
    InfoPutDetails(INFO_VALUE_LEFT, 2, q.versionText, INFO_NORMAL, INFO_KEEP_ROW, INFO_ALIGN_LEFT);
    return result;
}

} // namespace

// The inquiry holds no timer resolution of its own: it never sleeps, and its receives wake
// when the reply comes, so a coarse system tick changes none of its figures (only a
// time-out's end, by less than a tick).
int InquireVersion(const SystemFileHeader* header, int deviceType, InstrumentAnswer* answer) {
    InstrumentAnswer unused;
    return InquireVersionOfBlock(header, deviceType, answer != nullptr ? answer : &unused);
}
