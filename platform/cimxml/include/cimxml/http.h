/*
 * Values of the CIM-specific HTTP headers (DSP0200): CIMOperation, CIMMethod,
 * CIMObject, CIMProtocolVersion and CIMError. The HTTP exchange itself is the
 * server's and the client's business.
 */
#ifndef QELVO_CIMXML_HTTP_H
#define QELVO_CIMXML_HTTP_H

#include <cimxml/base.h>
#include <cimxml/message.h>

#include <string>

namespace cimxml {

/* Percent-encodes everything outside the URI unreserved characters
 * (letters, digits, - _ . ! ~ * ' ( )), byte by byte. */
std::string uri_escape(const std::string &text);
/* Decodes %XX sequences; malformed ones stay as they are. */
std::string uri_unescape(const std::string &text);

/* CIMObject for an intrinsic call on namespace `ns` ("root%2Fcimv2"). */
std::string cimobject_for_namespace(const std::string &ns);
/* CIMObject for an extrinsic call on `op`: the escaped "ns:Class.k=\"v\"". */
std::string cimobject_for_path(const CMPIObjectPath *op);

/* Checks the CIM headers of a request against its body. Returns "" when they
 * agree, else the CIMError value to answer with (kHeaderMismatch,
 * kUnsupportedOperation). `cimoperation` must be "MethodCall"; `cimmethod`
 * must name the call (without regard to case); `cimobject` (URI-decoded)
 * must name the namespace, and for extrinsic calls the class of the target. */
std::string check_request_headers(const Request &req, const std::string &cimoperation, const std::string &cimmethod,
                                  const std::string &cimobject);

/* Header values a server sends with a response. */
inline const char *response_cimoperation() { return "MethodResponse"; }
inline const char *content_type() { return "application/xml; charset=\"utf-8\""; }

}  // namespace cimxml

#endif  // QELVO_CIMXML_HTTP_H
