#include "client/pdf_finish.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <utility>
#include <vector>

#ifndef HALVERN_VERSION
#define HALVERN_VERSION "dev"
#endif

namespace {

bool WantsMetadata(const ConversionSettings& s) {
  return !s.pdfTitle.empty() || !s.pdfAuthor.empty() || !s.pdfSubject.empty() || !s.pdfKeywords.empty() ||
         !s.pdfCreator.empty();
}

bool WantsProtection(const ConversionSettings& s) {
  return !s.pdfUserPassword.empty() || !s.pdfOwnerPassword.empty() || !s.pdfPermissions.empty();
}

bool Allows(const ConversionSettings& s, const std::string& word) {
  if (s.pdfPermissions.empty()) return true;  // all, unless the host lists them
  const std::string list = "," + s.pdfPermissions + ",";
  return list.find("," + word + ",") != std::string::npos;
}

// Without the control characters that XML 1.0 cannot hold, so that both
// places say the same.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += c;
  return out;
}

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string InfoText(QPDFObjectHandle info, const char* key) {
  QPDFObjectHandle v = info.getKey(key);
  return v.isString() ? v.getUTF8Value() : "";
}

// The information dictionary's keys as an XMP packet that says the same.
std::string XmpPacket(const std::vector<std::pair<const char*, std::string>>& info) {
  auto get = [&info](const char* key) {
    for (const auto& [k, v] : info)
      if (std::string(k) == key) return XmlText(v);
    return std::string();
  };
  std::string x =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
      "xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">\n"
      "<dc:format>application/pdf</dc:format>\n";
  if (std::string t = get("/Title"); !t.empty())
    x += "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">" + t + "</rdf:li></rdf:Alt></dc:title>\n";
  if (std::string t = get("/Author"); !t.empty()) x += "<dc:creator><rdf:Seq><rdf:li>" + t + "</rdf:li></rdf:Seq></dc:creator>\n";
  if (std::string t = get("/Subject"); !t.empty())
    x += "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">" + t + "</rdf:li></rdf:Alt></dc:description>\n";
  if (std::string t = get("/Keywords"); !t.empty()) x += "<pdf:Keywords>" + t + "</pdf:Keywords>\n";
  if (std::string t = get("/Creator"); !t.empty()) x += "<xmp:CreatorTool>" + t + "</xmp:CreatorTool>\n";
  x += "<pdf:Producer>" + get("/Producer") + "</pdf:Producer>\n";
  x += "</rdf:Description>\n</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
  return x;
}

void WriteMetadata(QPDF& pdf, const ConversionSettings& s, const PageMetadata& page) {
  QPDFObjectHandle trailer = pdf.getTrailer();
  QPDFObjectHandle info = trailer.getKey("/Info");
  if (!info.isDictionary()) {
    info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    trailer.replaceKey("/Info", info);
  }
  // The host's value, else what the page says, else what the browser wrote.
  std::vector<std::pair<const char*, std::string>> values = {
      {"/Title", s.pdfTitle.empty() ? page.title : s.pdfTitle},
      {"/Author", s.pdfAuthor.empty() ? page.author : s.pdfAuthor},
      {"/Subject", s.pdfSubject.empty() ? page.description : s.pdfSubject},
      {"/Keywords", s.pdfKeywords.empty() ? page.keywords : s.pdfKeywords},
      {"/Creator", s.pdfCreator},
      {"/Producer", "Halvern " HALVERN_VERSION},
  };
  for (auto& [key, value] : values) {
    value = Printable(value.empty() ? InfoText(info, key) : value);
    if (!value.empty()) info.replaceKey(key, QPDFObjectHandle::newUnicodeString(value));
  }
  QPDFObjectHandle xmp = QPDFObjectHandle::newStream(&pdf, XmpPacket(values));
  xmp.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
  xmp.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
  pdf.getRoot().replaceKey("/Metadata", xmp);
}

}  // namespace

bool PdfFinishingWanted(const ConversionSettings& s) { return WantsMetadata(s) || s.linearize || WantsProtection(s); }

std::string DescribeFinishing(const ConversionSettings& s) {
  std::string steps = "metadata";
  if (s.linearize) steps += ", linearized";
  if (WantsProtection(s)) steps += ", protected (AES-256)";
  return steps;
}

bool FinishPdf(const std::string& source, const ConversionSettings& s, const PageMetadata& page, std::string& out,
               std::string& error) {
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processFile(source.c_str());
    WriteMetadata(pdf, s, page);
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    if (s.linearize) writer.setLinearization(true);
    if (WantsProtection(s)) {
      const bool modify = Allows(s, "modify"), annotate = Allows(s, "annotate");
      // An empty owner password would open the file with no password at all.
      const std::string& owner = s.pdfOwnerPassword.empty() ? s.pdfUserPassword : s.pdfOwnerPassword;
      writer.setR6EncryptionParameters(s.pdfUserPassword.c_str(), owner.c_str(), true,
                                       Allows(s, "copy"), modify, annotate, annotate, modify,
                                       Allows(s, "print") ? qpdf_r3p_full : qpdf_r3p_none, true);
    }
    writer.write();
    std::shared_ptr<Buffer> bytes = writer.getBufferSharedPointer();
    out.assign(reinterpret_cast<const char*>(bytes->getBuffer()), bytes->getSize());
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}
