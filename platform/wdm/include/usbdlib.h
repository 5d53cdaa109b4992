// Sizes and builders for URBs, as the USB client library offers them.
#pragma once

#include <usbdi.h>

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)          \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                       \
   ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) +                     \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION))
#define GET_USBD_INTERFACE_SIZE(numEndpoints)   \
  (sizeof(USBD_INTERFACE_INFORMATION) +         \
   (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, PMDL transferBufferMdl,
                                         ULONG transferBufferLength, PURB link) {
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbHeader.Length = length;
  urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMdl;
  urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
  urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
  urb->UrbControlDescriptorRequest.Index = descriptorIndex;
  urb->UrbControlDescriptorRequest.LanguageId = languageId;
  urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline VOID UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipe,
                                                   PVOID transferBuffer, PMDL transferBufferMdl,
                                                   ULONG transferBufferLength,
                                                   ULONG transferFlags, PURB link) {
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbHeader.Length = length;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMdl;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
  urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
  urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline VOID UsbBuildFeatureRequest(PURB urb, USHORT function, USHORT featureSelector,
                                   USHORT index, PURB link) {
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  urb->UrbControlFeatureRequest.UrbLink = link;
  urb->UrbControlFeatureRequest.FeatureSelector = featureSelector;
  urb->UrbControlFeatureRequest.Index = index;
}

inline VOID UsbBuildGetStatusRequest(PURB urb, USHORT function, USHORT index,
                                     PVOID transferBuffer, PMDL transferBufferMdl, PURB link) {
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
  urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
  urb->UrbControlGetStatusRequest.TransferBufferMDL = transferBufferMdl;
  urb->UrbControlGetStatusRequest.TransferBuffer = transferBuffer;
  urb->UrbControlGetStatusRequest.Index = index;
  urb->UrbControlGetStatusRequest.UrbLink = link;
}

inline VOID UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMdl,
                                  ULONG transferBufferLength, PURB link) {
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Length = length;
  urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMdl;
  urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
  urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
  urb->UrbControlVendorClassRequest.Request = request;
  urb->UrbControlVendorClassRequest.Value = value;
  urb->UrbControlVendorClassRequest.Index = index;
  urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
  urb->UrbControlVendorClassRequest.UrbLink = link;
}

inline VOID UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = length;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
}

inline VOID UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = length;
  urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
  urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
  urb->UrbSelectInterface.Interface.Length =
      (USHORT)(length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));
  urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}
