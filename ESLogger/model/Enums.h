#pragma once
// The integer enumerations of the event model. JSON carries the raw value; the
// case name is the text form. Signal and address-family names are also C library
// macros: the C headers are included first and those macros are set aside while
// the enumerations are declared, so name such cases by raw value in code that
// includes <csignal> or <sys/socket.h>.

#include <csignal>
#include <sys/socket.h>

#include "EnumSupport.h"

#pragma push_macro("SIGZERO")
#pragma push_macro("SIGHUP")
#pragma push_macro("SIGINT")
#pragma push_macro("SIGQUIT")
#pragma push_macro("SIGILL")
#pragma push_macro("SIGTRAP")
#pragma push_macro("SIGABRT")
#pragma push_macro("SIGPOLL")
#pragma push_macro("SIGFPE")
#pragma push_macro("SIGKILL")
#pragma push_macro("SIGBUS")
#pragma push_macro("SIGSEGV")
#pragma push_macro("SIGSYS")
#pragma push_macro("SIGPIPE")
#pragma push_macro("SIGALRM")
#pragma push_macro("SIGTERM")
#pragma push_macro("SIGURG")
#pragma push_macro("SIGSTOP")
#pragma push_macro("SIGTSTP")
#pragma push_macro("SIGCONT")
#pragma push_macro("SIGCHLD")
#pragma push_macro("SIGTTIN")
#pragma push_macro("SIGTTOU")
#pragma push_macro("SIGIO")
#pragma push_macro("SIGXCPU")
#pragma push_macro("SIGXFSZ")
#pragma push_macro("SIGVTARLM")
#pragma push_macro("SIGPROF")
#pragma push_macro("SIGWINCH")
#pragma push_macro("SIGINFO")
#pragma push_macro("SIGUSR1")
#pragma push_macro("SIGUSR2")
#pragma push_macro("AF_UNSPEC")
#pragma push_macro("AF_LOCAL")
#pragma push_macro("AF_INET")
#pragma push_macro("AF_IMPLINK")
#pragma push_macro("AF_PUP")
#pragma push_macro("AF_CHAOS")
#pragma push_macro("AF_NS")
#pragma push_macro("AF_ISO")
#pragma push_macro("AF_ECMA")
#pragma push_macro("AF_DATAKIT")
#pragma push_macro("AF_CCITT")
#pragma push_macro("AF_SNA")
#pragma push_macro("AF_DECnet")
#pragma push_macro("AF_DLI")
#pragma push_macro("AF_LAT")
#pragma push_macro("AF_HYLINK")
#pragma push_macro("AF_APPLETALK")
#pragma push_macro("AF_ROUTE")
#pragma push_macro("AF_LINK")
#pragma push_macro("pseudo_AF_XTP")
#pragma push_macro("AF_COIP")
#pragma push_macro("AF_CNT")
#pragma push_macro("pseudo_AF_RTIP")
#pragma push_macro("AF_IPX")
#pragma push_macro("AF_SIP")
#pragma push_macro("pseudo_AF_PIP")
#pragma push_macro("AF_INVALID26")
#pragma push_macro("AF_NDRV")
#pragma push_macro("AF_ISDN")
#pragma push_macro("pseudo_AF_KEY")
#pragma push_macro("AF_INET6")
#pragma push_macro("AF_NATM")
#pragma push_macro("AF_SYSTEM")
#pragma push_macro("AF_NETBIOS")
#pragma push_macro("AF_PPP")
#pragma push_macro("pseudo_AF_HDRCMPLT")
#pragma push_macro("AF_RESERVED_36")
#pragma push_macro("AF_IEEE80211")
#pragma push_macro("AF_UTUN")
#pragma push_macro("AF_INVALID39")
#pragma push_macro("AF_VSOCK")
#pragma push_macro("AF_MAX")
#undef SIGZERO
#undef SIGHUP
#undef SIGINT
#undef SIGQUIT
#undef SIGILL
#undef SIGTRAP
#undef SIGABRT
#undef SIGPOLL
#undef SIGFPE
#undef SIGKILL
#undef SIGBUS
#undef SIGSEGV
#undef SIGSYS
#undef SIGPIPE
#undef SIGALRM
#undef SIGTERM
#undef SIGURG
#undef SIGSTOP
#undef SIGTSTP
#undef SIGCONT
#undef SIGCHLD
#undef SIGTTIN
#undef SIGTTOU
#undef SIGIO
#undef SIGXCPU
#undef SIGXFSZ
#undef SIGVTARLM
#undef SIGPROF
#undef SIGWINCH
#undef SIGINFO
#undef SIGUSR1
#undef SIGUSR2
#undef AF_UNSPEC
#undef AF_LOCAL
#undef AF_INET
#undef AF_IMPLINK
#undef AF_PUP
#undef AF_CHAOS
#undef AF_NS
#undef AF_ISO
#undef AF_ECMA
#undef AF_DATAKIT
#undef AF_CCITT
#undef AF_SNA
#undef AF_DECnet
#undef AF_DLI
#undef AF_LAT
#undef AF_HYLINK
#undef AF_APPLETALK
#undef AF_ROUTE
#undef AF_LINK
#undef pseudo_AF_XTP
#undef AF_COIP
#undef AF_CNT
#undef pseudo_AF_RTIP
#undef AF_IPX
#undef AF_SIP
#undef pseudo_AF_PIP
#undef AF_INVALID26
#undef AF_NDRV
#undef AF_ISDN
#undef pseudo_AF_KEY
#undef AF_INET6
#undef AF_NATM
#undef AF_SYSTEM
#undef AF_NETBIOS
#undef AF_PPP
#undef pseudo_AF_HDRCMPLT
#undef AF_RESERVED_36
#undef AF_IEEE80211
#undef AF_UTUN
#undef AF_INVALID39
#undef AF_VSOCK
#undef AF_MAX

namespace es {

#define ES_ENUM_LIST_ACTION_TYPE(X) \
    X(ES_ACTION_TYPE_AUTH, 0) \
    X(ES_ACTION_TYPE_NOTIFY, 1)
ES_ENUM(ActionType, ES_ENUM_LIST_ACTION_TYPE)

#define ES_ENUM_LIST_ESRESULT_TYPE(X) \
    X(ES_RESULT_TYPE_AUTH, 0) \
    X(ES_RESULT_TYPE_FLAGS, 1)
ES_ENUM(ESResultType, ES_ENUM_LIST_ESRESULT_TYPE)

#define ES_ENUM_LIST_ESAUTH_RESULT_TYPE(X) \
    X(ES_AUTH_RESULT_ALLOW, 0) \
    X(ES_AUTH_RESULT_DENY, 1)
ES_ENUM(ESAuthResultType, ES_ENUM_LIST_ESAUTH_RESULT_TYPE)

#define ES_ENUM_LIST_ESSET_OR_CLEAR(X) \
    X(ES_SET, 0) \
    X(ES_CLEAR, 1)
ES_ENUM(ESSetOrClear, ES_ENUM_LIST_ESSET_OR_CLEAR)

#define ES_ENUM_LIST_ESDESTINATION_TYPE(X) \
    X(ES_DESTINATION_TYPE_EXISTING_FILE, 0) \
    X(ES_DESTINATION_TYPE_NEW_PATH, 1)
ES_ENUM(ESDestinationType, ES_ENUM_LIST_ESDESTINATION_TYPE)

#define ES_ENUM_LIST_ESTOUCH_MODE(X) \
    X(ES_TOUCHID_MODE_VERIFICATION, 0) \
    X(ES_TOUCHID_MODE_IDENTIFICATION, 1)
ES_ENUM(ESTouchMode, ES_ENUM_LIST_ESTOUCH_MODE)

#define ES_ENUM_LIST_ESPROFILE_SOURCE(X) \
    X(ES_PROFILE_SOURCE_MANAGED, 0) \
    X(ES_PROFILE_SOURCE_INSTALL, 1)
ES_ENUM(ESProfileSource, ES_ENUM_LIST_ESPROFILE_SOURCE)

#define ES_ENUM_LIST_ESODACCOUNT_TYPE(X) \
    X(ES_OD_ACCOUNT_TYPE_USER, 0) \
    X(ES_OD_ACCOUNT_TYPE_COMPUTER, 1)
ES_ENUM(ESODAccountType, ES_ENUM_LIST_ESODACCOUNT_TYPE)

#define ES_ENUM_LIST_ESODRECORD_TYPE(X) \
    X(ES_OD_RECORD_TYPE_USER, 0) \
    X(ES_OD_RECORD_TYPE_GROUP, 1)
ES_ENUM(ESODRecordType, ES_ENUM_LIST_ESODRECORD_TYPE)

#define ES_ENUM_LIST_ESGET_TASK_TYPE(X) \
    X(ES_GET_TASK_TYPE_TASK_FOR_PID, 0) \
    X(ES_GET_TASK_TYPE_EXPOSE_TASK, 1) \
    X(ES_GET_TASK_TYPE_IDENTITY_TOKEN, 2)
ES_ENUM(ESGetTaskType, ES_ENUM_LIST_ESGET_TASK_TYPE)

#define ES_ENUM_LIST_ESODMEMBER_TYPE(X) \
    X(ES_OD_MEMBER_TYPE_USER_NAME, 0) \
    X(ES_OD_MEMBER_TYPE_USER_UUID, 1) \
    X(ES_OD_MEMBER_TYPE_GROUP_UUID, 2)
ES_ENUM(ESODMemberType, ES_ENUM_LIST_ESODMEMBER_TYPE)

#define ES_ENUM_LIST_ESADDRESS_TYPE(X) \
    X(ES_ADDRESS_TYPE_NONE, 0) \
    X(ES_ADDRESS_TYPE_IPV4, 1) \
    X(ES_ADDRESS_TYPE_IPV6, 2) \
    X(ES_ADDRESS_TYPE_NAMED_SOCKET, 3)
ES_ENUM(ESAddressType, ES_ENUM_LIST_ESADDRESS_TYPE)

#define ES_ENUM_LIST_ESBTMITEM_TYPE(X) \
    X(ES_BTM_ITEM_TYPE_USER_ITEM, 0) \
    X(ES_BTM_ITEM_TYPE_APP, 1) \
    X(ES_BTM_ITEM_TYPE_LOGIN_ITEM, 2) \
    X(ES_BTM_ITEM_TYPE_AGENT, 3) \
    X(ES_BTM_ITEM_TYPE_DAEMON, 4)
ES_ENUM(ESBTMItemType, ES_ENUM_LIST_ESBTMITEM_TYPE)

#define ES_ENUM_LIST_ESAUTHENTICATION_TYPE(X) \
    X(ES_AUTHENTICATION_TYPE_OD, 0) \
    X(ES_AUTHENTICATION_TYPE_TOUCHID, 1) \
    X(ES_AUTHENTICATION_TYPE_TOKEN, 2) \
    X(ES_AUTHENTICATION_TYPE_AUTO_UNLOCK, 3) \
    X(ES_AUTHENTICATION_TYPE_LAST, 4)
ES_ENUM(ESAuthenticationType, ES_ENUM_LIST_ESAUTHENTICATION_TYPE)

#define ES_ENUM_LIST_ESAUTH_RULE_CLASS(X) \
    X(ES_AUTHORIZATION_RULE_CLASS_USER, 0) \
    X(ES_AUTHORIZATION_RULE_CLASS_RULE, 1) \
    X(ES_AUTHORIZATION_RULE_CLASS_MECHANISM, 2) \
    X(ES_AUTHORIZATION_RULE_CLASS_ALLOW, 3) \
    X(ES_AUTHORIZATION_RULE_CLASS_DENY, 4) \
    X(ES_AUTHORIZATION_RULE_CLASS_UNKNOWN, 5) \
    X(ES_AUTHORIZATION_RULE_CLASS_INVALID, 6)
ES_ENUM(ESAuthRuleClass, ES_ENUM_LIST_ESAUTH_RULE_CLASS)

#define ES_ENUM_LIST_ESSUDO_PLUGIN_TYPE(X) \
    X(ES_SUDO_PLUGIN_TYPE_UNKNOWN, 0) \
    X(ES_SUDO_PLUGIN_TYPE_FRONT_END, 1) \
    X(ES_SUDO_PLUGIN_TYPE_POLICY, 2) \
    X(ES_SUDO_PLUGIN_TYPE_IO, 3) \
    X(ES_SUDO_PLUGIN_TYPE_AUDIT, 4) \
    X(ES_SUDO_PLUGIN_TYPE_APPROVAL, 5)
ES_ENUM(ESSudoPluginType, ES_ENUM_LIST_ESSUDO_PLUGIN_TYPE)

#define ES_ENUM_LIST_ESOPEN_SSHLOGIN_RESULT_TYPE(X) \
    X(ES_OPENSSH_LOGIN_EXCEED_MAXTRIES, 0) \
    X(ES_OPENSSH_LOGIN_ROOT_DENIED, 1) \
    X(ES_OPENSSH_AUTH_SUCCESS, 2) \
    X(ES_OPENSSH_AUTH_FAIL_NONE, 3) \
    X(ES_OPENSSH_AUTH_FAIL_PASSWD, 4) \
    X(ES_OPENSSH_AUTH_FAIL_KBDINT, 5) \
    X(ES_OPENSSH_AUTH_FAIL_PUBKEY, 6) \
    X(ES_OPENSSH_AUTH_FAIL_HOSTBASED, 7) \
    X(ES_OPENSSH_AUTH_FAIL_GSSAPI, 8) \
    X(ES_OPENSSH_INVALID_USER, 9)
ES_ENUM(ESOpenSSHLoginResultType, ES_ENUM_LIST_ESOPEN_SSHLOGIN_RESULT_TYPE)

#define ES_ENUM_LIST_SIGNAL_TYPE(X) \
    X(SIGZERO, 0) \
    X(SIGHUP, 1) \
    X(SIGINT, 2) \
    X(SIGQUIT, 3) \
    X(SIGILL, 4) \
    X(SIGTRAP, 5) \
    X(SIGABRT, 6) \
    X(SIGPOLL, 7) \
    X(SIGFPE, 8) \
    X(SIGKILL, 9) \
    X(SIGBUS, 10) \
    X(SIGSEGV, 11) \
    X(SIGSYS, 12) \
    X(SIGPIPE, 13) \
    X(SIGALRM, 14) \
    X(SIGTERM, 15) \
    X(SIGURG, 16) \
    X(SIGSTOP, 17) \
    X(SIGTSTP, 18) \
    X(SIGCONT, 19) \
    X(SIGCHLD, 20) \
    X(SIGTTIN, 21) \
    X(SIGTTOU, 22) \
    X(SIGIO, 23) \
    X(SIGXCPU, 24) \
    X(SIGXFSZ, 25) \
    X(SIGVTARLM, 26) \
    X(SIGPROF, 27) \
    X(SIGWINCH, 28) \
    X(SIGINFO, 29) \
    X(SIGUSR1, 30) \
    X(SIGUSR2, 31)
ES_ENUM(SignalType, ES_ENUM_LIST_SIGNAL_TYPE)

#define ES_ENUM_LIST_ESSOCKET_DOMAIN(X) \
    X(AF_UNSPEC, 0) \
    X(AF_LOCAL, 1) \
    X(AF_INET, 2) \
    X(AF_IMPLINK, 3) \
    X(AF_PUP, 4) \
    X(AF_CHAOS, 5) \
    X(AF_NS, 6) \
    X(AF_ISO, 7) \
    X(AF_ECMA, 8) \
    X(AF_DATAKIT, 9) \
    X(AF_CCITT, 10) \
    X(AF_SNA, 11) \
    X(AF_DECnet, 12) \
    X(AF_DLI, 13) \
    X(AF_LAT, 14) \
    X(AF_HYLINK, 15) \
    X(AF_APPLETALK, 16) \
    X(AF_ROUTE, 17) \
    X(AF_LINK, 18) \
    X(pseudo_AF_XTP, 19) \
    X(AF_COIP, 20) \
    X(AF_CNT, 21) \
    X(pseudo_AF_RTIP, 22) \
    X(AF_IPX, 23) \
    X(AF_SIP, 24) \
    X(pseudo_AF_PIP, 25) \
    X(AF_INVALID26, 26) \
    X(AF_NDRV, 27) \
    X(AF_ISDN, 28) \
    X(pseudo_AF_KEY, 29) \
    X(AF_INET6, 30) \
    X(AF_NATM, 31) \
    X(AF_SYSTEM, 32) \
    X(AF_NETBIOS, 33) \
    X(AF_PPP, 34) \
    X(pseudo_AF_HDRCMPLT, 35) \
    X(AF_RESERVED_36, 36) \
    X(AF_IEEE80211, 37) \
    X(AF_UTUN, 38) \
    X(AF_INVALID39, 39) \
    X(AF_VSOCK, 40) \
    X(AF_MAX, 41)
ES_ENUM(ESSocketDomain, ES_ENUM_LIST_ESSOCKET_DOMAIN)

#define ES_ENUM_LIST_ESAUTO_UNLOCK_TYPE(X) \
    X(ES_AUTO_UNLOCK_MACHINE_UNLOCK, 1) \
    X(ES_AUTO_UNLOCK_AUTH_PROMPT, 2)
ES_ENUM(ESAutoUnlockType, ES_ENUM_LIST_ESAUTO_UNLOCK_TYPE)

#define ES_ENUM_LIST_ESSOCKET_TYPE(X) \
    X(SOCK_STREAM, 1) \
    X(SOCK_DGRAM, 2) \
    X(SOCK_RAW, 3) \
    X(SOCK_RDM, 4) \
    X(SOCK_SEQPACKET, 5)
ES_ENUM(ESSocketType, ES_ENUM_LIST_ESSOCKET_TYPE)

#define ES_ENUM_LIST_ESXPCDOMAIN_TYPE(X) \
    X(ES_XPC_DOMAIN_TYPE_SYSTEM, 1) \
    X(ES_XPC_DOMAIN_TYPE_USER, 2) \
    X(ES_XPC_DOMAIN_TYPE_USER_LOGIN, 3) \
    X(ES_XPC_DOMAIN_TYPE_SESSION, 4) \
    X(ES_XPC_DOMAIN_TYPE_PID, 5) \
    X(ES_XPC_DOMAIN_TYPE_MANAGER, 6) \
    X(ES_XPC_DOMAIN_TYPE_PORT, 7) \
    X(ES_XPC_DOMAIN_TYPE_GUI, 8)
ES_ENUM(ESXPCDomainType, ES_ENUM_LIST_ESXPCDOMAIN_TYPE)

#define ES_ENUM_LIST_ESPROC_CHECK_TYPE(X) \
    X(ES_PROC_CHECK_TYPE_LISTPIDS, 1) \
    X(ES_PROC_CHECK_TYPE_PIDINFO, 2) \
    X(ES_PROC_CHECK_TYPE_PIDFDINFO, 3) \
    X(ES_PROC_CHECK_TYPE_KERNMSGBUF, 4) \
    X(ES_PROC_CHECK_TYPE_SETCONTROL, 5) \
    X(ES_PROC_CHECK_TYPE_PIDFILEPORTINFO, 6) \
    X(ES_PROC_CHECK_TYPE_TERMINATE, 7) \
    X(ES_PROC_CHECK_TYPE_DIRTYCONTROL, 8) \
    X(ES_PROC_CHECK_TYPE_PIDRUSAGE, 9) \
    X(ES_PROC_CHECK_TYPE_UDATA_INFO, 14)
ES_ENUM(ESProcCheckType, ES_ENUM_LIST_ESPROC_CHECK_TYPE)

#define ES_ENUM_LIST_ESPROC_SUSPEND_RESUME_TYPE(X) \
    X(ES_PROC_SUSPEND_RESUME_TYPE_SUSPEND, 0) \
    X(ES_PROC_SUSPEND_RESUME_TYPE_RESUME, 1) \
    X(ES_PROC_SUSPEND_RESUME_TYPE_SHUTDOWN_SOCKETS, 3)
ES_ENUM(ESProcSuspendResumeType, ES_ENUM_LIST_ESPROC_SUSPEND_RESUME_TYPE)

#define ES_ENUM_LIST_ESIPPROTOCOL(X) \
    X(IPPROTO_IP, 0) \
    X(IPPROTO_ICMP, 1) \
    X(IPPROTO_IGMP, 2) \
    X(IPPROTO_GGP, 3) \
    X(IPPROTO_IPV4, 4) \
    X(IPPROTO_TCP, 6) \
    X(IPPROTO_ST, 7) \
    X(IPPROTO_EGP, 8) \
    X(IPPROTO_PIGP, 9) \
    X(IPPROTO_RCCMON, 10) \
    X(IPPROTO_NVPII, 11) \
    X(IPPROTO_PUP, 12) \
    X(IPPROTO_ARGUS, 13) \
    X(IPPROTO_EMCON, 14) \
    X(IPPROTO_XNET, 15) \
    X(IPPROTO_CHAOS, 16) \
    X(IPPROTO_UDP, 17) \
    X(IPPROTO_MUX, 18) \
    X(IPPROTO_MEAS, 19) \
    X(IPPROTO_HMP, 20) \
    X(IPPROTO_PRM, 21) \
    X(IPPROTO_IDP, 22) \
    X(IPPROTO_TRUNK1, 23) \
    X(IPPROTO_TRUNK2, 24) \
    X(IPPROTO_LEAF1, 25) \
    X(IPPROTO_LEAF2, 26) \
    X(IPPROTO_RDP, 27) \
    X(IPPROTO_IRTP, 28) \
    X(IPPROTO_TP, 29) \
    X(IPPROTO_BLT, 30) \
    X(IPPROTO_NSP, 31) \
    X(IPPROTO_INP, 32) \
    X(IPPROTO_SEP, 33) \
    X(IPPROTO_3PC, 34) \
    X(IPPROTO_IDPR, 35) \
    X(IPPROTO_XTP, 36) \
    X(IPPROTO_DDP, 37) \
    X(IPPROTO_CMTP, 38) \
    X(IPPROTO_TPXX, 39) \
    X(IPPROTO_IL, 40) \
    X(IPPROTO_IPV6, 41) \
    X(IPPROTO_SDRP, 42) \
    X(IPPROTO_ROUTING, 43) \
    X(IPPROTO_FRAGMENT, 44) \
    X(IPPROTO_IDRP, 45) \
    X(IPPROTO_RSVP, 46) \
    X(IPPROTO_GRE, 47) \
    X(IPPROTO_MHRP, 48) \
    X(IPPROTO_BHA, 49) \
    X(IPPROTO_ESP, 50) \
    X(IPPROTO_AH, 51) \
    X(IPPROTO_INLSP, 52) \
    X(IPPROTO_SWIPE, 53) \
    X(IPPROTO_NHRP, 54) \
    X(IPPROTO_ICMPV6, 58) \
    X(IPPROTO_NONE, 59) \
    X(IPPROTO_DSTOPTS, 60) \
    X(IPPROTO_AHIP, 61) \
    X(IPPROTO_CFTP, 62) \
    X(IPPROTO_HELLO, 63) \
    X(IPPROTO_SATEXPAK, 64) \
    X(IPPROTO_KRYPTOLAN, 65) \
    X(IPPROTO_RVD, 66) \
    X(IPPROTO_IPPC, 67) \
    X(IPPROTO_ADFS, 68) \
    X(IPPROTO_SATMON, 69) \
    X(IPPROTO_VISA, 70) \
    X(IPPROTO_IPCV, 71) \
    X(IPPROTO_CPNX, 72) \
    X(IPPROTO_CPHB, 73) \
    X(IPPROTO_WSN, 74) \
    X(IPPROTO_PVP, 75) \
    X(IPPROTO_BRSATMON, 76) \
    X(IPPROTO_ND, 77) \
    X(IPPROTO_WBMON, 78) \
    X(IPPROTO_WBEXPAK, 79) \
    X(IPPROTO_EON, 80) \
    X(IPPROTO_VMTP, 81) \
    X(IPPROTO_SVMTP, 82) \
    X(IPPROTO_VINES, 83) \
    X(IPPROTO_TTP, 84) \
    X(IPPROTO_IGP, 85) \
    X(IPPROTO_DGP, 86) \
    X(IPPROTO_TCF, 87) \
    X(IPPROTO_IGRP, 88) \
    X(IPPROTO_OSPFIGP, 89) \
    X(IPPROTO_SRPC, 90) \
    X(IPPROTO_LARP, 91) \
    X(IPPROTO_MTP, 92) \
    X(IPPROTO_AX25, 93) \
    X(IPPROTO_IPEIP, 94) \
    X(IPPROTO_MICP, 95) \
    X(IPPROTO_SCCSP, 96) \
    X(IPPROTO_ETHERIP, 97) \
    X(IPPROTO_ENCAP, 98) \
    X(IPPROTO_APES, 99) \
    X(IPPROTO_GMTP, 100) \
    X(IPPROTO_PIM, 103) \
    X(IPPROTO_IPCOMP, 108) \
    X(IPPROTO_PGM, 113) \
    X(IPPROTO_SCTP, 132) \
    X(IPPROTO_DIVERT, 254) \
    X(IPPROTO_RAW, 255) \
    X(IPPROTO_MAX, 256)
ES_ENUM(ESIPProtocol, ES_ENUM_LIST_ESIPPROTOCOL)

// Short name of an XPC service domain type: system, user, user_login, ...
std::string shortName(ESXPCDomainType t);

}  // namespace es

#pragma pop_macro("SIGZERO")
#pragma pop_macro("SIGHUP")
#pragma pop_macro("SIGINT")
#pragma pop_macro("SIGQUIT")
#pragma pop_macro("SIGILL")
#pragma pop_macro("SIGTRAP")
#pragma pop_macro("SIGABRT")
#pragma pop_macro("SIGPOLL")
#pragma pop_macro("SIGFPE")
#pragma pop_macro("SIGKILL")
#pragma pop_macro("SIGBUS")
#pragma pop_macro("SIGSEGV")
#pragma pop_macro("SIGSYS")
#pragma pop_macro("SIGPIPE")
#pragma pop_macro("SIGALRM")
#pragma pop_macro("SIGTERM")
#pragma pop_macro("SIGURG")
#pragma pop_macro("SIGSTOP")
#pragma pop_macro("SIGTSTP")
#pragma pop_macro("SIGCONT")
#pragma pop_macro("SIGCHLD")
#pragma pop_macro("SIGTTIN")
#pragma pop_macro("SIGTTOU")
#pragma pop_macro("SIGIO")
#pragma pop_macro("SIGXCPU")
#pragma pop_macro("SIGXFSZ")
#pragma pop_macro("SIGVTARLM")
#pragma pop_macro("SIGPROF")
#pragma pop_macro("SIGWINCH")
#pragma pop_macro("SIGINFO")
#pragma pop_macro("SIGUSR1")
#pragma pop_macro("SIGUSR2")
#pragma pop_macro("AF_UNSPEC")
#pragma pop_macro("AF_LOCAL")
#pragma pop_macro("AF_INET")
#pragma pop_macro("AF_IMPLINK")
#pragma pop_macro("AF_PUP")
#pragma pop_macro("AF_CHAOS")
#pragma pop_macro("AF_NS")
#pragma pop_macro("AF_ISO")
#pragma pop_macro("AF_ECMA")
#pragma pop_macro("AF_DATAKIT")
#pragma pop_macro("AF_CCITT")
#pragma pop_macro("AF_SNA")
#pragma pop_macro("AF_DECnet")
#pragma pop_macro("AF_DLI")
#pragma pop_macro("AF_LAT")
#pragma pop_macro("AF_HYLINK")
#pragma pop_macro("AF_APPLETALK")
#pragma pop_macro("AF_ROUTE")
#pragma pop_macro("AF_LINK")
#pragma pop_macro("pseudo_AF_XTP")
#pragma pop_macro("AF_COIP")
#pragma pop_macro("AF_CNT")
#pragma pop_macro("pseudo_AF_RTIP")
#pragma pop_macro("AF_IPX")
#pragma pop_macro("AF_SIP")
#pragma pop_macro("pseudo_AF_PIP")
#pragma pop_macro("AF_INVALID26")
#pragma pop_macro("AF_NDRV")
#pragma pop_macro("AF_ISDN")
#pragma pop_macro("pseudo_AF_KEY")
#pragma pop_macro("AF_INET6")
#pragma pop_macro("AF_NATM")
#pragma pop_macro("AF_SYSTEM")
#pragma pop_macro("AF_NETBIOS")
#pragma pop_macro("AF_PPP")
#pragma pop_macro("pseudo_AF_HDRCMPLT")
#pragma pop_macro("AF_RESERVED_36")
#pragma pop_macro("AF_IEEE80211")
#pragma pop_macro("AF_UTUN")
#pragma pop_macro("AF_INVALID39")
#pragma pop_macro("AF_VSOCK")
#pragma pop_macro("AF_MAX")
