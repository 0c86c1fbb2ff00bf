// Card tool logic: drives, card files, backup images and card operations.
