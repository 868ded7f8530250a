/*
 * CIM-XML (DSP0200/DSP0201) and MOF for the platform's CIMOM, client and
 * tools. See the individual headers.
 */
#ifndef QELVO_CIMXML_CIMXML_H
#define QELVO_CIMXML_CIMXML_H

#include <cimxml/base.h>
#include <cimxml/classmodel.h>
#include <cimxml/http.h>
#include <cimxml/message.h>
#include <cimxml/mof.h>
#include <cimxml/xml.h>

#endif  // QELVO_CIMXML_CIMXML_H
